// The virtual nets: frame delivery, trace, faults and participant dispatch.
#include "bus_state.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>

namespace ntcan_sim::detail {

State& state() {
  static State& s = [] () -> State& {
    auto* fresh = new State;
    const char* reuse = std::getenv("NTCAN_SIM_REUSE_HANDLES");
    fresh->reuse_handles = reuse && std::string(reuse) == "1";
    init_bus_time(*fresh);
    return *fresh;
  }();
  return s;
}

NTCAN_RESULT take_fault(State& s, int net, Call call) {
  Fault& f = s.nets[net].faults[static_cast<int>(call)];
  if (f.remaining == 0) return NTCAN_SUCCESS;
  if (f.skip > 0) {
    --f.skip;
    return NTCAN_SUCCESS;
  }
  if (f.remaining > 0) --f.remaining;
  return f.status;
}

HandleInfo info_of(const Handle& h) {
  HandleInfo info;
  info.handle = h.number;
  info.net = h.net;
  info.open = h.open;
  info.baud = h.baud;
  for (int32_t id = 0; id <= kMaxId; ++id) {
    if (h.filter.test(static_cast<std::size_t>(id))) info.ids.push_back(id);
  }
  info.queued = h.queue.size();
  info.dropped = h.queue.dropped_total();
  info.rx_queue_size = static_cast<int32_t>(h.queue.capacity());
  info.tx_queue_size = h.tx_queue_size;
  info.tx_waiting = queued_by(state().nets[h.net], h.number);
  info.rx_timeout_ms = h.rx_timeout_ms;
  info.tx_timeout_ms = h.tx_timeout_ms;
  return info;
}

namespace {

// The participant callback this thread is running (0: none), and the
// dispatches its callbacks started, waiting for the outermost run().
thread_local int t_current = 0;
thread_local std::deque<Dispatch>* t_pending = nullptr;

struct CallbackScope {
  explicit CallbackScope(int id) { t_current = id; }
  ~CallbackScope() { t_current = 0; }
  CallbackScope(const CallbackScope&) = delete;
  CallbackScope& operator=(const CallbackScope&) = delete;
};

int64_t now_us() {
  using namespace std::chrono;
  return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

void queue_frame(Net& bus, Handle& h, const CMSG& m) {
  if (!h.queue.push(m)) {
    ++bus.rx_lost;
  } else if (h.readers > 0) {
    h.readable.notify_all();
  }
}

// Records a frame in the trace and the trace file, and shows it to the
// observer, all with one time stamp (-1: now).
void record(State& s, int net, const CMSG& m, NTCAN_HANDLE from_handle,
            const std::string& from_participant, int64_t time_us) {
  ++s.seq;
  if (!s.trace_enabled && !s.trace_file && !s.observer) return;
  if (time_us < 0) time_us = now_us();
  if (s.observer) s.observer->frame_on_net(net, m, time_us, from_participant);
  if (!s.trace_enabled && !s.trace_file) return;
  TraceEntry e;
  e.seq = s.seq;
  e.time_us = time_us;
  e.frame.net = net;
  e.frame.msg = m;
  e.frame.handle = from_handle;
  e.frame.participant = from_participant;
  if (s.trace_file) write_trace_file(s, e);
  if (!s.trace_enabled) return;
  s.trace.push_back(std::move(e));
  while (s.trace.size() > s.trace_capacity) {
    s.trace.pop_front();
    ++s.trace_dropped;
  }
}

}  // namespace

int current_callback() { return t_current; }

Dispatch put_on_net(State& s, int net, const CMSG* frames, int32_t n,
                    NTCAN_HANDLE from_handle, const std::string& from_participant, int64_t time_us) {
  Net& bus = s.nets[net];
  bus.frames += static_cast<uint64_t>(n);
  for (int32_t i = 0; i < n; ++i) {
    CMSG m = frames[i];
    m.msg_lost = 0;
    m.reserved[0] = m.reserved[1] = 0;
    const auto id = static_cast<std::size_t>(m.id);
    for (Handle* h : bus.handles) {
      if (h->number != from_handle && h->filter.test(id)) queue_frame(bus, *h, m);
    }
    record(s, net, m, from_handle, from_participant, time_us);
  }

  Dispatch d;
  if (bus.participants.empty()) return d;
  for (const auto& p : bus.participants) {
    if (p->name != from_participant) d.targets_.push_back(p);  // never its own
  }
  if (d.targets_.empty()) return d;
  d.frames_.reserve(static_cast<std::size_t>(n));
  for (int32_t i = 0; i < n; ++i) {
    BusFrame f;
    f.net = net;
    f.msg = frames[i];
    f.msg.msg_lost = 0;
    f.msg.reserved[0] = f.msg.reserved[1] = 0;
    f.handle = from_handle;
    f.participant = from_participant;
    d.frames_.push_back(std::move(f));
  }
  return d;
}

void Dispatch::run() noexcept {
  // noexcept: a callback that throws ends the process instead of unwinding
  // through a C driver call.
  if (targets_.empty()) return;
  if (t_pending != nullptr) {
    t_pending->push_back(std::move(*this));
    return;
  }
  std::deque<Dispatch> pending;
  t_pending = &pending;
  run_now();
  while (!pending.empty()) {
    Dispatch next = std::move(pending.front());
    pending.pop_front();
    next.run_now();
  }
  t_pending = nullptr;
}

void Dispatch::run_now() {
  State& s = state();
  for (const BusFrame& f : frames_) {
    for (const auto& p : targets_) {
      {
        std::lock_guard<std::mutex> lock(s.mu);
        if (p->detached) continue;
        ++p->in_flight;
      }
      {
        CallbackScope scope(p->id);
        p->on_frame(f);
      }
      std::lock_guard<std::mutex> lock(s.mu);
      if (--p->in_flight == 0) s.callbacks_done.notify_all();
    }
  }
}

}  // namespace ntcan_sim::detail
