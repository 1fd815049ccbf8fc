// The ".BAUDRATE" companion: NTCAN baud-rate codes and the bit rates they
// stand for get in, nothing else.
#include "node/baudrate.h"

#include "line/line_log.h"
#include "node/client_write.h"

namespace vorbel {

namespace {

// NTCAN's codes by index, each with its bit rate in bit/s.
constexpr int kBitRates[] = {
    1000000,  // 0  NTCAN_BAUD_1000
    666666,   // 1  NTCAN_BAUD_666
    500000,   // 2  NTCAN_BAUD_500
    333333,   // 3  NTCAN_BAUD_333
    250000,   // 4  NTCAN_BAUD_250
    166666,   // 5  NTCAN_BAUD_166
    125000,   // 6  NTCAN_BAUD_125
    100000,   // 7  NTCAN_BAUD_100
    66666,    // 8  NTCAN_BAUD_66
    50000,    // 9  NTCAN_BAUD_50
    33333,    // 10 NTCAN_BAUD_33
    20000,    // 11 NTCAN_BAUD_20
    12500,    // 12 NTCAN_BAUD_12_5
    10000,    // 13 NTCAN_BAUD_10
    800000,   // 14 NTCAN_BAUD_800
};
constexpr int kCodeCount = sizeof kBitRates / sizeof kBitRates[0];
constexpr int kDefaultCode = 6;  // 125 kbit/s, what 0 has always opened

const char kRefusal[] = "neither an NTCAN baud-rate code (0..14) nor the bit rate of one in bit/s";

bool accepted(int v) { return baudrate_code(v) >= 0; }

}  // namespace

int baudrate_code(int value) {
  if (value >= 0 && value < kCodeCount) return value;
  for (int code = 0; code < kCodeCount; ++code)
    if (kBitRates[code] == value) return code;
  return -1;
}

int line_baudrate_code(int value) {
  const int code = baudrate_code(value);
  return value == 0 || code < 0 ? kDefaultCode : code;
}

void BaudrateProperty::set_value(int v, time_t stamp, int event, int status) {
  if (!accepted(v)) {
    log(basename(), std::to_string(v) + " refused: " + kRefusal);
    return;
  }
  D_int::set_value(v, stamp, event, status);
}

void BaudrateProperty::set(EqAdr* adr, EqData* in, EqData* out, EqFct* ef) {
  if (in && !accepted(in->get_int())) {
    refuse_client_write(*this, ef, basename() + " change to: " + std::to_string(in->get_int()), kRefusal);
    return;
  }
  D_int::set(adr, in, out, ef);
}

void BaudrateProperty::read() {
  const D_conf_struct* c = find_prop_name();
  if (c && !accepted(c->ival)) {
    log("D_can::read", basename() + ": " + std::to_string(c->ival) + " " + kRefusal + ", kept " +
                           std::to_string(value()));
    return;
  }
  D_int::read();
}

}  // namespace vorbel
