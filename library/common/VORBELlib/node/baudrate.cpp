// The ".BAUDRATE" companion: only NTCAN baud-rate codes get in.
#include "node/baudrate.h"

#include "line/line_log.h"
#include "node/client_write.h"

namespace vorbel {

namespace {

constexpr int kMaxBaudrateCode = 14;  // NTCAN's table: 0 (1 Mbit/s) .. 14 (800 kbit/s)
const char kNotACode[] = "not an NTCAN baud-rate code (0..14)";

bool baudrate_code(int v) { return v >= 0 && v <= kMaxBaudrateCode; }

}  // namespace

void BaudrateProperty::set_value(int v, time_t stamp, int event, int status) {
  if (!baudrate_code(v)) {
    log(basename(), std::to_string(v) + " refused: " + kNotACode);
    return;
  }
  D_int::set_value(v, stamp, event, status);
}

void BaudrateProperty::set(EqAdr* adr, EqData* in, EqData* out, EqFct* ef) {
  if (in && !baudrate_code(in->get_int())) {
    refuse_client_write(*this, ef, basename() + " change to: " + std::to_string(in->get_int()), kNotACode);
    return;
  }
  D_int::set(adr, in, out, ef);
}

void BaudrateProperty::read() {
  const D_conf_struct* c = find_prop_name();
  if (c && !baudrate_code(c->ival)) {
    log("D_can::read", basename() + ": " + std::to_string(c->ival) + " " + kNotACode + ", kept " +
                           std::to_string(value()));
    return;
  }
  D_int::read();
}

}  // namespace vorbel
