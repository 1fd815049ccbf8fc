// Alive monitoring: the node's NMT state from heartbeats and node-guarding
// answers, as the ".ALIVE" value and the ".CONDITION" text; and, for nodes
// that opt in, a heartbeat consumer with a time-out (supervise).
#include "D_vorbel.h"
#include "line/line_log.h"
#include "services/framework_time.h"
#include "services/node_id.h"
#include "services/supervision.h"

namespace {

constexpr int kOperational = 5;
constexpr int kBootUp = 0;
constexpr int kToggleBit = 0x80;
// The texts are compared by address (D_Alive::shown_): one object each.
const char kError[] = "Error";
const char kStopped[] = "Stopped";
const char kOperationalText[] = "Operational";
const char kPreoperational[] = "Preoperational";
const char kDefaultError[] = "default Error";
const char kBootUpText[] = "Boot-up";
const char kLostText[] = "No heartbeat";

const char* condition_text(int state) {
  switch (state & 0x0F) {
    case 2: return kError;
    case 4: return kStopped;
    case 5: return kOperationalText;
    case 15: return kPreoperational;
    default: return kDefaultError;
  }
}

}  // namespace

void D_Alive::set_value(int s) {
  D_int_ptr::set_value(s);
  show(condition_text(s));
}

void D_Alive::show(const char* text) {
  shown_.store(text, std::memory_order_relaxed);
  can_->modul_condition_->set_value(text);
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

bool D_Alive::isalive() { return (value() & 0x0F) == kOperational && !lost(); }

// ---------------------------------------------------------------------------
// Supervision

void D_Alive::consumer_timeout_ms(int ms) {
  if (ms < 0) {
    vorbel::log("D_Alive::consumer_timeout_ms",
                basename() + ": time-out " + std::to_string(ms) + " ms refused, supervision off");
  }
  vorbel::Supervision& e = entry();
  e.armed_ms = vorbel::framework_time_ms();
  e.timeout_ms = ms > 0 ? ms : 0;
}

void D_Alive::guarding_toggle_check(bool on) {
  vorbel::Supervision& e = entry();
  e.last_toggle = -1;
  e.toggle_check = on;
}

bool D_Alive::lost() {
  const vorbel::Supervision& e = entry();
  // Nothing to compare without a time-out: no clock read either.
  return e.timeout_ms.load(std::memory_order_relaxed) > 0 && e.lost_at(vorbel::framework_time_ms());
}

long long D_Alive::last_heard_ms() { return entry().heard_ms.load(std::memory_order_relaxed); }

bool D_Alive::booted() { return entry().booted.exchange(false); }

namespace {

// The state frames of a batch into the entry, in order; the last state
// taken, -1 for none. A guarding answer that repeats the toggle of the one
// before is not taken while the check is on; a boot-up frame restarts the
// alternation.
int take_states(vorbel::Supervision& e, int ident, const CMSG* rxmsg, int count) {
  const int id = 0x700 + ident;
  int last = -1;
  for (int i = 0; i < count; ++i) {
    const CMSG& m = rxmsg[i];
    if (m.id != id || m.len != 1) continue;
    const int state = m.data[0];
    if (state == kBootUp) {
      e.booted = true;
      e.last_toggle = -1;
    } else if (e.toggle_check.load(std::memory_order_relaxed)) {
      const int toggle = (state & kToggleBit) ? 1 : 0;
      if (e.last_toggle.exchange(toggle) == toggle) continue;
    }
    last = state;
  }
  return last;
}

}  // namespace

int D_Alive::supervise(int ident, CMSG* rxmsg, int* l) {
  if (const int refused = can_->check_node_id(ident, 1, vorbel::kSuperviseService, "D_Alive::supervise")) {
    return refused;
  }
  vorbel::Supervision& e = entry();
  const long long now = vorbel::framework_time_ms();
  int result = 0;
  int state = -1;  // the state taken from this batch
  // A batch of a fill that the master or a follower took already is not
  // taken again: its boot-up would raise booted() twice, its guarding answer
  // fail the toggle check.
  const uint32_t fill = batch_fill_.exchange(0);
  if (fill != 0 && e.applied_fill.exchange(fill) == fill) {
    result = e.applied_operational.load() ? 100 : 0;
  } else {
    state = rxmsg && l ? take_states(e, ident, rxmsg, *l) : -1;
    if (state >= 0) {
      D_int_ptr::set_value(state);
      e.heard_ms = now;
      result = (state & 0x7F) == kOperational ? 100 : 0;
    }
    if (fill != 0) e.applied_operational = result == 100;
  }

  const char* text = nullptr;
  if (e.lost_at(now)) {
    text = kLostText;
  } else if (e.heard_ms.load(std::memory_order_relaxed) >= 0) {
    if (state < 0) state = value();
    text = state == kBootUp ? kBootUpText : condition_text(state);
  }
  if (text && text != shown_.load(std::memory_order_relaxed)) show(text);
  return result;
}

// Under D_can::mx_loop.
void D_Alive::share(vorbel::Supervision* shared, bool fresh) {
  vorbel::Supervision* current = entry_.load();
  if (!shared) {
    if (current != own_.get()) own_->copy_from(*current);
    shared = own_.get();
  } else if (fresh) {
    shared->carry_config(*current, vorbel::framework_time_ms());
  }
  entry_.store(shared, std::memory_order_release);
}
