// The control interface of the simulation: participants, trace, faults and
// inspection of the driver's state.
#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "bus_state.h"

namespace ntcan_sim {

using namespace detail;

namespace {

void check_net(int net) {
  if (!valid_net(net)) {
    throw std::invalid_argument("ntcan_sim: no net " + std::to_string(net) +
                                " (nets are 0.." + std::to_string(kNetCount - 1) + ")");
  }
}

Fault& fault_of(State& s, int net, Call call) {
  const int index = static_cast<int>(call);
  if (index < 0 || index >= kCallCount) throw std::invalid_argument("ntcan_sim: unknown call");
  return s.nets[net].faults[index];
}

void set_fault(int net, Call call, NTCAN_RESULT status, int skip, int count) {
  check_net(net);
  if (status == NTCAN_SUCCESS) {
    throw std::invalid_argument("ntcan_sim: a fault needs a failure status");
  }
  if (skip < 0 || count == 0 || count < -1) {
    throw std::invalid_argument("ntcan_sim: bad fault call counts");
  }
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  fault_of(s, net, call) = Fault{status, skip, count};
}

// Detaches `p` and waits (on `lock`) until its callbacks have ended.
void detach_and_wait(State& s, std::unique_lock<std::mutex>& lock,
                     const std::shared_ptr<Participant>& p) {
  p->detached = true;
  auto& list = s.nets[p->net].participants;
  list.erase(std::remove(list.begin(), list.end(), p), list.end());
  s.callbacks_done.wait(lock, [&p] { return p->in_flight == 0; });
}

}  // namespace

const char* call_name(Call call) {
  switch (call) {
    case Call::Open: return "canOpen";
    case Call::SetBaudrate: return "canSetBaudrate";
    case Call::Close: return "canClose";
    case Call::Status: return "canStatus";
    case Call::Send: return "canSend";
    case Call::Take: return "canTake";
    case Call::Read: return "canRead";
    case Call::IdAdd: return "canIdAdd";
    case Call::IdDelete: return "canIdDelete";
  }
  return "unknown call";
}

std::string BusFrame::sender() const {
  if (handle != NTCAN_NO_HANDLE) return "handle " + std::to_string(handle);
  return participant;
}

void reset() {
  if (current_callback() != 0) {
    throw std::logic_error("ntcan_sim::reset called from a participant callback");
  }
  stop_socketcand();
  State& s = state();
  std::unique_lock<std::mutex> lock(s.mu);
  for (Net& net : s.nets) {
    while (!net.participants.empty()) {
      const std::shared_ptr<Participant> p = net.participants.back();
      detach_and_wait(s, lock, p);
    }
  }
  release_all(s);
  s.closed.clear();
  for (Net& net : s.nets) {
    net.faults.fill(Fault{});
    net.board_status = 0;
  }
  s.trace.clear();
  s.trace_enabled = true;
  s.trace_capacity = kDefaultTraceCapacity;
  s.trace_dropped = 0;
  s.seq = 0;
  s.time_scale = 1.0;
  set_bus_scale(s, 1.0);
  reset_buses(s);
  for (auto& per_call : s.counts) per_call.fill(0);
  s.closed_handle_calls = 0;
}

void set_handle_reuse(bool on) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  s.reuse_handles = on;
}

uint64_t calls_on_closed_handles() {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  return s.closed_handle_calls;
}

// --- participants ----------------------------------------------------------

int attach(int net, std::string name, FrameCallback on_frame) {
  check_net(net);
  if (name.empty()) throw std::invalid_argument("ntcan_sim::attach: empty name");
  if (!on_frame) throw std::invalid_argument("ntcan_sim::attach: no callback");
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  auto& list = s.nets[net].participants;
  for (const auto& p : list) {
    if (p->name == name) {
      throw std::invalid_argument("ntcan_sim::attach: '" + name +
                                  "' is already attached to net " + std::to_string(net));
    }
  }
  auto p = std::make_shared<Participant>();
  p->id = s.next_participant++;
  p->net = net;
  p->name = std::move(name);
  p->on_frame = std::move(on_frame);
  list.push_back(p);
  return p->id;
}

void detach(int participant) {
  if (participant != 0 && current_callback() == participant) {
    throw std::logic_error("ntcan_sim::detach called from the participant's own callback");
  }
  State& s = state();
  std::unique_lock<std::mutex> lock(s.mu);
  for (Net& net : s.nets) {
    for (const auto& p : net.participants) {
      if (p->id == participant) {
        const std::shared_ptr<Participant> keep = p;
        detach_and_wait(s, lock, keep);
        return;
      }
    }
  }
}

void inject(int net, const CMSG& msg, const std::string& from) {
  check_net(net);
  if (!valid_frame(msg)) {
    throw std::invalid_argument("ntcan_sim::inject: identifier above 0x7FF or length above 8");
  }
  State& s = state();
  Dispatch callbacks;
  {
    auto lock = lock_current(s);
    if (s.timing) {
      queue_for_bus(s, net, &msg, 1, NTCAN_NO_HANDLE, from, static_cast<std::size_t>(kMaxQueueSize));
      return;
    }
    callbacks = put_on_net(s, net, &msg, 1, NTCAN_NO_HANDLE, from);
  }
  callbacks.run();
}

CMSG make_frame(int32_t id, std::initializer_list<uint8_t> data) {
  if (data.size() > 8) throw std::invalid_argument("ntcan_sim::make_frame: more than 8 bytes");
  CMSG m{};
  m.id = id;
  m.len = static_cast<uint8_t>(data.size());
  std::copy(data.begin(), data.end(), m.data);
  return m;
}

CMSG make_rtr(int32_t id, uint8_t rtr_len) {
  if (rtr_len > 8) throw std::invalid_argument("ntcan_sim::make_rtr: length above 8");
  CMSG m{};
  m.id = id;
  m.len = static_cast<uint8_t>(rtr_len | NTCAN_RTR);
  return m;
}

// --- trace -----------------------------------------------------------------

std::vector<TraceEntry> trace() {
  State& s = state();
  auto lock = lock_current(s);
  return {s.trace.begin(), s.trace.end()};
}

std::vector<TraceEntry> trace(int net) {
  check_net(net);
  State& s = state();
  auto lock = lock_current(s);
  std::vector<TraceEntry> out;
  for (const TraceEntry& e : s.trace) {
    if (e.frame.net == net) out.push_back(e);
  }
  return out;
}

void clear_trace() {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  s.trace.clear();
  s.trace_dropped = 0;
}

void set_trace_enabled(bool enabled) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  s.trace_enabled = enabled;
}

void set_trace_capacity(std::size_t entries) {
  if (entries < 1) throw std::invalid_argument("ntcan_sim::set_trace_capacity: 0 entries");
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  s.trace_capacity = entries;
  while (s.trace.size() > entries) {
    s.trace.pop_front();
    ++s.trace_dropped;
  }
}

uint64_t trace_dropped() {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  return s.trace_dropped;
}

// --- faults ----------------------------------------------------------------

void fail_next(int net, Call call, NTCAN_RESULT status, int count) {
  if (count < 1) throw std::invalid_argument("ntcan_sim::fail_next: count below 1");
  set_fault(net, call, status, 0, count);
}

void fail_after(int net, Call call, int good, NTCAN_RESULT status, int count) {
  if (count < 1) throw std::invalid_argument("ntcan_sim::fail_after: count below 1");
  set_fault(net, call, status, good, count);
}

void fail_until_cleared(int net, Call call, NTCAN_RESULT status) {
  set_fault(net, call, status, 0, -1);
}

void clear_fault(int net, Call call) {
  check_net(net);
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  fault_of(s, net, call) = Fault{};
}

void clear_faults() {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  for (Net& net : s.nets) net.faults.fill(Fault{});
}

void set_board_status(int net, uint32_t status) {
  check_net(net);
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  s.nets[net].board_status = status;
}

// --- inspection ------------------------------------------------------------

uint64_t calls(Call call, int net) {
  check_net(net);
  const int index = static_cast<int>(call);
  if (index < 0 || index >= kCallCount) throw std::invalid_argument("ntcan_sim: unknown call");
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  return s.counts[index][net];
}

uint64_t calls(Call call) {
  const int index = static_cast<int>(call);
  if (index < 0 || index >= kCallCount) throw std::invalid_argument("ntcan_sim: unknown call");
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  uint64_t total = 0;
  for (uint64_t n : s.counts[index]) total += n;
  return total;
}

std::vector<NTCAN_HANDLE> handles(int net) {
  check_net(net);
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  std::vector<NTCAN_HANDLE> out;
  for (const Handle* h : s.nets[net].handles) out.push_back(h->number);
  return out;
}

std::optional<HandleInfo> handle_info(NTCAN_HANDLE handle) {
  State& s = state();
  auto lock = lock_current(s);
  const auto it = s.open.find(handle);
  if (it != s.open.end()) return info_of(*it->second);
  for (auto c = s.closed.rbegin(); c != s.closed.rend(); ++c) {
    if (c->handle == handle) return *c;
  }
  return std::nullopt;
}

std::optional<uint32_t> baud_rate(NTCAN_HANDLE handle) {
  const auto info = handle_info(handle);
  return info ? info->baud : std::nullopt;
}

std::vector<int32_t> enabled_ids(NTCAN_HANDLE handle) {
  auto info = handle_info(handle);
  return info ? std::move(info->ids) : std::vector<int32_t>{};
}

std::size_t queued(NTCAN_HANDLE handle) {
  State& s = state();
  auto lock = lock_current(s);
  const auto it = s.open.find(handle);
  return it == s.open.end() ? 0 : it->second->queue.size();
}

// --- time ------------------------------------------------------------------

void set_time_scale(double scale) {
  if (!std::isfinite(scale) || scale < 0) {
    throw std::invalid_argument("ntcan_sim::set_time_scale: scale must be finite and >= 0");
  }
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  s.time_scale = scale;
  set_bus_scale(s, scale);
}

double time_scale() {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  return s.time_scale;
}

}  // namespace ntcan_sim
