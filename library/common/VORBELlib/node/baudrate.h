// The ".BAUDRATE" companion of a node. Internal to the library.
#ifndef VORBEL_BAUDRATE_H
#define VORBEL_BAUDRATE_H

#include "D_vorbel.h"

namespace vorbel {

// The NTCAN baud-rate code of a line that the node creates (0 stands for
// the default, code 6: 125 kbit/s). A value outside the NTCAN baud-rate
// table (codes 0..14) is refused wherever it comes from: the configuration
// (logged with the entry's place, the value stays), a client (the call
// fails) or device code (logged); the value stays as it was.
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
