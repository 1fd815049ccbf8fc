// Alive monitoring: the node's NMT state from heartbeats and node-guarding
// answers, as the ".ALIVE" value and the ".CONDITION" text.
#include "D_vorbel.h"
#include "services/node_id.h"

namespace {

constexpr int kOperational = 5;

const char* condition_text(int state) {
  switch (state & 0x0F) {
    case 2: return "Error";
    case 4: return "Stopped";
    case 5: return "Operational";
    case 15: return "Preoperational";
    default: return "default Error";
  }
}

}  // namespace

void D_Alive::set_value(int s) {
  D_int_ptr::set_value(s);
  can_->modul_condition_->set_value(condition_text(s));
}

int D_Alive::can_read(int ident, CMSG* rxmsg, int* l) {
  if (const int refused = can_->check_node_id(ident, 1, vorbel::kAliveService, "D_Alive::can_read")) return refused;
  if (!rxmsg || !l || *l < 1) return 0;
  const int id = 0x700 + ident;
  for (int i = 0; i < *l; ++i) {
    const CMSG& m = rxmsg[i];
    // Heartbeats and guarding answers carry exactly one state byte; guarding
    // requests (remote frames) and other lengths are passed over.
    if (m.id != id || m.len != 1) continue;
    D_int_ptr::set_value(m.data[0]);
    return (m.data[0] & 0x7F) == kOperational ? 100 : 0;
  }
  return 0;
}

int D_Alive::check_alive(int ident, CMSG* rxmsg, int* l) {
  const int found = can_read(ident, rxmsg, l);
  if (found != 100) return found;
  set_value(value());
  return 100;
}

bool D_Alive::isalive() { return (value() & 0x0F) == kOperational; }
