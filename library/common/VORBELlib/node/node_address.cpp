// Node address: the IIII value of a D_can, loaded from and saved to the
// server configuration, shown to clients and set by them.
#include <cstdio>
#include <ostream>
#include <stdexcept>

#include "D_vorbel.h"
#include "node/node_registry.h"

namespace {
constexpr uint32_t kLogLevel = 0x80000000;
constexpr int32_t kMaxLine = 20;
constexpr int32_t kMaxIdent = 2000;
}  // namespace

void D_can::conf(Config* c) { conf_insert(c, DATA_IIII); }

void D_can::read() {
  const D_conf_struct* c = find_prop_name();
  vorbel::LoopLock lk;
  IIII a = c ? c->iiii : canIdent_;
  // Out-of-range values from the file read as 0; negative ones stay.
  if (a.i1_data > kMaxLine) a.i1_data = 0;
  if (a.i2_data > kMaxIdent) a.i2_data = 0;
  if (a.i3_data > kMaxIdent) a.i3_data = 0;
  if (a.i4_data > kMaxIdent) a.i4_data = 0;
  // A reload that gives a node on its line another line or node id takes it
  // off the line, as a client's move does (without the move's log line).
  if ((pline_ || block_) && !(a.i1_data == canIdent_.i1_data && a.i2_data == canIdent_.i2_data)) {
    leave_address(canIdent_, a);
    return;
  }
  canIdent_ = a;
}

void D_can::write(std::ostream& ofile) {
  char buf[200];
  int n = std::snprintf(buf, sizeof buf, " \t%d  %d  %d  %d\n", canIdent_.i1_data, canIdent_.i2_data,
                        canIdent_.i3_data, canIdent_.i4_data);
  if (n > 0) ofile.write(buf, n < static_cast<int>(sizeof buf) ? n : static_cast<int>(sizeof buf) - 1);
}

void D_can::get(EqAdr*, EqData*, EqData* out, EqFct*) {
  if (out) out->set(canIdent_);
}

void D_can::set(EqAdr*, EqData* in, EqData*, EqFct*) {
  if (in) set_value(in->get_iiii());
}

void D_can::set_value(IIII* s) {
  if (!s) return;
  const IIII n = *s;  // the caller's record may change while we work
  const IIII o = canIdent_;

  char text[400];
  if (efp_) {
    char who[200];
    std::snprintf(who, sizeof who, "%s@%s", efp_->get_username().c_str(), efp_->get_hostname().c_str());
    std::snprintf(text, sizeof text, "%s change from: %d, %d, %d, %d to: %d, %d, %d, %d by %s",
                  basename().c_str(), o.i1_data, o.i2_data, o.i3_data, o.i4_data, n.i1_data, n.i2_data,
                  n.i3_data, n.i4_data, who);
    telvo::printtostderr(efp_->name(), text, kLogLevel);
  } else {
    std::snprintf(text, sizeof text, "%s change from: %d, %d, %d, %d to: %d, %d, %d, %d",
                  basename().c_str(), o.i1_data, o.i2_data, o.i3_data, o.i4_data, n.i1_data, n.i2_data,
                  n.i3_data, n.i4_data);
    telvo::printtostderr("D_can", text, kLogLevel);
  }

  if (n.i1_data == o.i1_data && n.i2_data == o.i2_data) {
    // Same line and node id: the further identifiers change, the node stays
    // on its line and keeps what it has enabled.
    vorbel::LoopLock lk;
    canIdent_ = n;
    return;
  }
  // Another line or node id: off the line and out of the polling registry;
  // device code initialises the node again for its new address.
  leave_address(o, n);
}

void D_can::get_multi(EqAdr*, EqData*, EqData* res, int* i, char* addr) {
  if (!addr) throw std::logic_error("basic_string: construction from null is not valid");
  if (!res || !i) return;
  const int index = *i;
  const std::string text(addr);
  res->set(canIdent_.i1_data, static_cast<float>(canIdent_.i2_data), static_cast<float>(canIdent_.i3_data),
           static_cast<long>(canIdent_.i4_data), text, index);
}
