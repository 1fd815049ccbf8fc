// The ".BAUDRATE" companion of a node. Internal to the library.
#ifndef VORBEL_BAUDRATE_H
#define VORBEL_BAUDRATE_H

#include "D_vorbel.h"

namespace vorbel {

// The NTCAN code of a bit rate, or the code itself: 0..14 are the codes
// (0 is NTCAN_BAUD_1000), 1000000, 800000, 666666, 500000, 333333, 250000,
// 166666, 125000, 100000, 66666, 50000, 33333, 20000, 12500 and 10000 the
// bit rates in bit/s of the codes. -1 for any other value.
int baudrate_code(int value);
// The code a line created by a node with ".BAUDRATE" `value` opens with:
// 0 keeps its old meaning, the default code 6 (125 kbit/s), so 1 Mbit/s is
// reached through 1000000; a value that is neither a code nor a bit rate
// also opens at code 6 (the property never holds one).
int line_baudrate_code(int value);

// The baud rate of a line that the node creates: an NTCAN code or a bit
// rate in bit/s, as baudrate_code() takes them, kept as it was given, so a
// saved configuration reads the same. Anything else is refused wherever it
// comes from: the configuration (logged with the entry's place, the value
// stays), a client (the call fails) or device code (logged); the value
// stays as it was.
class BaudrateProperty : public D_int {
 public:
  using D_int::D_int;
  using D_int::set_value;
  void set_value(int v, time_t stamp, int event, int status) override;
  void set(EqAdr* adr, EqData* in, EqData* out, EqFct* ef) override;
  void read() override;
};

}  // namespace vorbel

#endif  // VORBEL_BAUDRATE_H
