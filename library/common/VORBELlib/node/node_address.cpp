// Node address: the IIII value of a D_can, loaded from and saved to the
// server configuration, shown to clients and set by them.
#include <cstdio>
#include <ostream>
#include <stdexcept>

#include "D_vorbel.h"
#include "line/line_log.h"
#include "node/client_write.h"
#include "node/node_registry.h"

namespace {
constexpr uint32_t kLogLevel = 0x80000000;
constexpr int32_t kMaxLine = 20;
constexpr int32_t kMaxIdent = 2000;
constexpr int32_t kMaxNodeId = 127;

const char* const kFieldNames[4] = {"line", "node id", "third value", "fourth value"};

int32_t* field(IIII& a, int k) {
  int32_t* const f[4] = {&a.i1_data, &a.i2_data, &a.i3_data, &a.i4_data};
  return f[k];
}

std::string address_text(const IIII& a) {
  return std::to_string(a.i1_data) + ", " + std::to_string(a.i2_data) + ", " + std::to_string(a.i3_data) + ", " +
         std::to_string(a.i4_data);
}

// Why a client may not set this address ("line 21 outside 0..20"), or "".
std::string address_fault(IIII a) {
  for (int k = 0; k < 4; ++k) {
    const int32_t v = *field(a, k);
    const int32_t top = k == 0 ? kMaxLine : kMaxIdent;
    if (v < 0 || v > top)
      return std::string(kFieldNames[k]) + " " + std::to_string(v) + " outside 0.." + std::to_string(top);
  }
  return "";
}

// The limits of an address read from the configuration: a line above 20 and
// identifiers above 2000 read as 0, negative values stay. Each limit applied
// and each value that initialisation or the CANopen services will refuse is
// logged; the framework tells where the entry came from.
void limit_loaded_address(const std::string& name, IIII* a) {
  for (int k = 0; k < 4; ++k) {
    int32_t* v = field(*a, k);
    const int32_t top = k == 0 ? kMaxLine : kMaxIdent;
    const auto warn = [&](const std::string& fate) {
      vorbel::log("D_can::read", name + ": " + kFieldNames[k] + " " + std::to_string(*v) + fate);
    };
    if (*v > top) {
      warn(" above " + std::to_string(top) + ", read as 0");
      *v = 0;
    } else if (*v < 0) {
      warn(" negative, kept");
    } else if (k == 1 && *v > kMaxNodeId) {
      warn(" outside 1..127, kept: the CANopen services refuse it");
    }
  }
}
}  // namespace

void D_can::conf(Config* c) { conf_insert(c, DATA_IIII); }

void D_can::read() {
  IIII a;
  if (const D_conf_struct* c = find_prop_name()) {
    a = c->iiii;
  } else {
    vorbel::LoopLock lk;
    a = canIdent_;
  }
  limit_loaded_address(basename(), &a);
  vorbel::LoopLock lk;
  // A reload that gives a node on its line another line or node id takes it
  // off the line, as a client's move does (without the move's log line).
  if ((pline_ || block_) && !(a.i1_data == canIdent_.i1_data && a.i2_data == canIdent_.i2_data)) {
    leave_address(canIdent_, a);
    return;
  }
  store_address(a);
}

void D_can::write(std::ostream& ofile) {
  char buf[200];
  const IIII a = load_address();
  int n = std::snprintf(buf, sizeof buf, " \t%d  %d  %d  %d\n", a.i1_data, a.i2_data, a.i3_data, a.i4_data);
  if (n > 0) ofile.write(buf, n < static_cast<int>(sizeof buf) ? n : static_cast<int>(sizeof buf) - 1);
}

void D_can::get(EqAdr*, EqData*, EqData* out, EqFct*) {
  if (out) out->set(load_address());
}

// A client's write obeys the limits of a loaded address, so that what a
// client sets is what the next start loads; anything else is refused.
void D_can::set(EqAdr*, EqData* in, EqData*, EqFct* ef) {
  if (!in) return;
  IIII* a = in->get_iiii();
  const std::string fault = a ? address_fault(*a) : "the data are not a four-integer address record";
  if (fault.empty()) {
    set_value(a);
    return;
  }
  std::string change = basename() + " change from: " + address_text(load_address());
  if (a) change += " to: " + address_text(*a);
  vorbel::refuse_client_write(*this, ef ? ef : efp_, change, fault);
}

void D_can::set_value(IIII* s) {
  if (!s) return;
  const IIII n = *s;  // the caller's record may change while we work
  const IIII o = load_address();

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

  // Decided on the address as it is now: another thread may have set it
  // since it was logged.
  vorbel::LoopLock lk;
  const IIII now = canIdent_;
  if (n.i1_data == now.i1_data && n.i2_data == now.i2_data) {
    // Same line and node id: the further identifiers change, the node stays
    // on its line and keeps what it has enabled.
    store_address(n);
    return;
  }
  // Another line or node id: off the line and out of the polling registry;
  // device code initialises the node again for its new address.
  leave_address(now, n);
}

void D_can::get_multi(EqAdr*, EqData*, EqData* res, int* i, char* addr) {
  if (!addr) throw std::logic_error("basic_string: construction from null is not valid");
  if (!res || !i) return;
  const int index = *i;
  const std::string text(addr);
  const IIII a = load_address();
  res->set(a.i1_data, static_cast<float>(a.i2_data), static_cast<float>(a.i3_data), static_cast<long>(a.i4_data),
           text, index);
}
