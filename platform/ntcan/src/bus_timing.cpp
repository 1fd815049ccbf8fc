// Bus timing: frames queued per sender, arbitration, and delivery when a
// frame's last bit is on the net, in bus time.
//
// Each net keeps its schedule (Net::next_start_ns, next_end_ns) up to date
// whenever a frame is queued, starts, ends or is dropped. catch_up() walks
// the nets' schedules in time order up to the bus time now: a frame starts
// once bus time has passed its start (so that every frame queued at that
// very moment has had its chance in the arbitration), and is delivered when
// bus time reaches its end. Who calls catch_up: every driver call, the pump
// thread (on the driver's clock) at each frame's end, and bus_clock_moved()
// (with a BusClock).
#include <sys/prctl.h>

#include <algorithm>
#include <cstdlib>
#include <stdexcept>

#include "bus_state.h"

namespace ntcan_sim {

using namespace detail;

namespace detail {

namespace {

constexpr double kMinBusScale = 1e-6;
constexpr int64_t kLoadWindowNs = 1000000000;
constexpr std::chrono::microseconds kPumpSpin{40};  // see pump_main

// The bus time of the delivery whose participant callbacks this thread
// runs (-1: none): what they queue is queued at that moment, so that an
// answer follows its request without a gap.
thread_local int64_t t_delivery_ns = -1;

struct DeliveryScope {
  explicit DeliveryScope(int64_t at) { t_delivery_ns = at; }
  ~DeliveryScope() { t_delivery_ns = -1; }
  DeliveryScope(const DeliveryScope&) = delete;
  DeliveryScope& operator=(const DeliveryScope&) = delete;
};

int64_t system_ns() {
  using namespace std::chrono;
  return duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count();
}

int64_t duration_ns(const Net& n, const Outgoing& f) { return static_cast<int64_t>(f.bits) * n.bit_ns; }

// The sender whose first frame goes when the net falls idle at `start`:
// the lowest identifier among the first frames queued by then, the one
// queued first on a tie. senders.end() when none was queued by then.
std::map<SenderKey, std::deque<Outgoing>>::iterator winner(Net& n, int64_t start) {
  auto best = n.senders.end();
  for (auto it = n.senders.begin(); it != n.senders.end(); ++it) {
    if (it->second.empty()) continue;
    const Outgoing& f = it->second.front();
    if (f.queued_ns > start) continue;
    if (best == n.senders.end()) {
      best = it;
      continue;
    }
    const Outgoing& b = best->second.front();
    if (f.msg.id < b.msg.id || (f.msg.id == b.msg.id && f.order < b.order)) best = it;
  }
  return best;
}

void reschedule(Net& n) {
  if (n.on_bus) {
    n.next_start_ns = kNever;
    n.next_end_ns = n.on_bus_end_ns;
    return;
  }
  int64_t first = kNever;
  for (const auto& entry : n.senders)
    if (!entry.second.empty()) first = std::min(first, entry.second.front().queued_ns);
  if (first == kNever) {
    n.next_start_ns = n.next_end_ns = kNever;
    return;
  }
  n.next_start_ns = std::max(n.idle_from_ns, first);
  n.next_end_ns = n.next_start_ns + duration_ns(n, winner(n, n.next_start_ns)->second.front());
}

void start_next(Net& n) {
  const auto it = winner(n, n.next_start_ns);
  n.on_bus = std::move(it->second.front());
  it->second.pop_front();
  // A handle's queue stays for its next frame (it goes when the handle
  // closes); a participant's goes, its name may never come again.
  if (it->second.empty() && it->first.first == NTCAN_NO_HANDLE) n.senders.erase(it);
  --n.waiting;
  n.on_bus_start_ns = n.next_start_ns;
  n.on_bus_end_ns = n.on_bus_start_ns + duration_ns(n, *n.on_bus);
  reschedule(n);
}

void forget_before(Net& n, int64_t t) {
  while (!n.recent.empty() && n.recent.front().second <= t) n.recent.pop_front();
}

// The frame on the net has ended: count it and put it on the net for the
// receivers, the trace and the participants.
Dispatch finish(State& s, int net) {
  Net& n = s.nets[net];
  const Outgoing f = std::move(*n.on_bus);
  n.on_bus.reset();
  n.idle_from_ns = n.on_bus_end_ns;
  n.bits += f.bits;
  n.recent.emplace_back(n.on_bus_start_ns, n.on_bus_end_ns);
  forget_before(n, n.on_bus_end_ns - kLoadWindowNs);
  reschedule(n);
  return put_on_net(s, net, &f.msg, 1, f.handle, f.participant, n.idle_from_ns / 1000);
}

// Delivers what is due by bus time now (or everything queued), in bus
// order: ends before starts at the same moment, so that an answer queued at
// a frame's end takes part in the next arbitration.
void deliver_due(State& s, std::unique_lock<std::mutex>& lock, bool everything) {
  if (!s.timing || s.delivering) return;
  s.delivering = true;
  struct Done {
    State& s;
    bool any = false;
    ~Done() {
      s.delivering = false;
      if (any) {
        s.delivered.notify_all();
        s.pump_cv.notify_all();
      }
    }
  } done{s};
  for (;;) {
    const int64_t now = everything ? kNever : bus_now_ns(s);
    int net = -1;
    int64_t when = kNever;
    bool is_start = false;
    for (int i = 0; i < kNetCount; ++i) {
      const Net& n = s.nets[i];
      if (n.on_bus) {
        if (n.on_bus_end_ns <= now && (n.on_bus_end_ns < when || (n.on_bus_end_ns == when && is_start))) {
          net = i;
          when = n.on_bus_end_ns;
          is_start = false;
        }
      } else if (n.next_start_ns < now && n.next_start_ns < when) {
        net = i;
        when = n.next_start_ns;
        is_start = true;
      }
    }
    if (net < 0) return;
    done.any = true;
    if (is_start) {
      start_next(s.nets[net]);
      continue;
    }
    Dispatch callbacks = finish(s, net);
    if (callbacks.empty()) continue;
    lock.unlock();
    {
      DeliveryScope scope(when);
      callbacks.run();
    }
    lock.lock();
  }
}

std::chrono::steady_clock::time_point steady_at(const BusTime& t, int64_t bus_ns) {
  const double real_ns = static_cast<double>(bus_ns - t.base_ns) * t.scale;
  return t.base_steady + std::chrono::nanoseconds(static_cast<int64_t>(real_ns));
}

// The pump: on the driver's clock, delivers each frame at its end.
void pump_main() {
  // Wake at the frame's end, not up to the default timer slack (50 us) later.
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  State& s = state();
  std::unique_lock<std::mutex> lock(s.mu);
  while (!s.pump_stop) {
    s.pump_wake_ns = kNever;
    if (!s.timing || s.bus_time.clock) {
      s.pump_cv.wait(lock);
      continue;
    }
    catch_up(s, lock);
    const int64_t next = earliest_end(s);
    if (s.pump_stop) break;
    if (s.delivering || next == kNever) {
      s.pump_cv.wait(lock);  // the other deliverer, or a frame queued, wakes it
      continue;
    }
    s.pump_wake_ns = next;
    // A thread woken by a timer is tens of microseconds late on a busy or
    // virtual machine, as much as an SDO round trip at 1 Mbit/s has bits:
    // the last stretch to a frame's end is spun.
    const auto at = steady_at(s.bus_time, next);
    if (s.pump_cv.wait_until(lock, at - kPumpSpin) == std::cv_status::timeout) {
      lock.unlock();
      while (std::chrono::steady_clock::now() < at) std::this_thread::yield();
      lock.lock();
    }
  }
}

void stop_pump() {
  State& s = state();
  {
    std::lock_guard<std::mutex> lock(s.mu);
    s.pump_stop = true;
  }
  s.pump_cv.notify_all();
  if (s.pump.get_id() == std::this_thread::get_id()) {
    s.pump.detach();  // exit() called from a participant callback
  } else if (s.pump.joinable()) {
    s.pump.join();
  }
}

// Wakes the pump when `n`'s next delivery comes before the pump's wake-up,
// starting it first if need be.
void wake_pump(State& s, const Net& n) {
  if (s.bus_time.clock || n.next_end_ns >= s.pump_wake_ns) return;
  if (!s.pump.joinable() && !s.pump_stop) {
    s.pump = std::thread(pump_main);
    static const bool stop_registered = std::atexit(stop_pump) == 0;
    (void)stop_registered;
  }
  s.pump_cv.notify_all();
}

void wake_readers(State& s) {
  for (auto& entry : s.open) {
    if (entry.second->readers > 0) entry.second->readable.notify_all();
  }
}

// Bus time starts anew (timing off, another clock): an idle net forgets
// when its last frame ended, which may be far ahead of the new bus time.
void forget_idle_since(State& s) {
  for (Net& n : s.nets) {
    if (!n.on_bus && n.waiting == 0) n.idle_from_ns = INT64_MIN;
  }
}

void rebase(State& s, int64_t base_ns, double scale) {
  s.bus_time.base_ns = base_ns;
  s.bus_time.base_steady = std::chrono::steady_clock::now();
  s.bus_time.scale = std::max(scale, kMinBusScale);
  s.pump_cv.notify_all();
}

}  // namespace

void init_bus_time(State& s) {
  rebase(s, system_ns(), 1.0);
  const char* on = std::getenv("NTCAN_SIM_BUS_TIMING");
  s.timing = on && std::string(on) == "1";
}

int64_t bus_now_ns(State& s) {
  const BusTime& t = s.bus_time;
  if (t.clock) return t.clock->now_us() * 1000;
  const auto real = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() -
                                                                         t.base_steady);
  return t.base_ns + static_cast<int64_t>(static_cast<double>(real.count()) / t.scale);
}

bool queue_for_bus(State& s, int net, const CMSG* frames, int32_t n, NTCAN_HANDLE from_handle,
                   const std::string& from_participant, std::size_t room) {
  Net& bus = s.nets[net];
  const SenderKey key{from_handle, from_handle == NTCAN_NO_HANDLE ? from_participant : std::string()};
  auto found = bus.senders.find(key);
  const std::size_t queued = found == bus.senders.end() ? 0 : found->second.size();
  auto count = static_cast<std::size_t>(n);
  if (queued + count > room) {
    if (from_handle != NTCAN_NO_HANDLE) {
      bus.tx_refused += count;
      return false;
    }
    const std::size_t fit = room > queued ? room - queued : 0;
    bus.tx_dropped += count - fit;
    count = fit;
  }
  if (count == 0) return true;
  std::deque<Outgoing>& q = found == bus.senders.end() ? bus.senders[key] : found->second;
  const int64_t at = t_delivery_ns >= 0 ? t_delivery_ns : bus_now_ns(s);
  for (std::size_t i = 0; i < count; ++i) {
    Outgoing f;
    f.msg = frames[i];
    f.msg.msg_lost = 0;
    f.msg.reserved[0] = f.msg.reserved[1] = 0;
    f.handle = from_handle;
    f.participant = key.second;
    f.queued_ns = at;
    f.order = s.next_order++;
    f.bits = frame_bits(f.msg);
    q.push_back(std::move(f));
  }
  bus.waiting += count;
  reschedule(bus);
  wake_pump(s, bus);
  return true;
}

void catch_up(State& s, std::unique_lock<std::mutex>& lock) { deliver_due(s, lock, false); }

int64_t earliest_end(const State& s) {
  int64_t next = kNever;
  for (const Net& n : s.nets) next = std::min(next, n.next_end_ns);
  return next;
}

bool in_delivery() { return t_delivery_ns >= 0; }

std::size_t queued_by(const Net& net, NTCAN_HANDLE h) {
  const auto it = net.senders.find(SenderKey{h, std::string()});
  return it == net.senders.end() ? 0 : it->second.size();
}

void drop_queued(Net& net, NTCAN_HANDLE h) {
  const auto it = net.senders.find(SenderKey{h, std::string()});
  if (it == net.senders.end()) return;
  net.waiting -= it->second.size();
  net.senders.erase(it);
  reschedule(net);
}

void set_net_baud(State& s, Net& net, uint32_t baud) {
  const uint32_t bit_ns = bit_time_ns(baud);
  if (bit_ns == 0) return;
  net.baud = baud;
  net.bit_ns = bit_ns;
  reschedule(net);
  wake_pump(s, net);
}

void set_bus_scale(State& s, double scale) { rebase(s, bus_now_ns(s), scale); }

void reset_buses(State& s) {
  for (Net& n : s.nets) {
    n.baud = kDefaultBaud;
    n.bit_ns = bit_time_ns(kDefaultBaud);
    n.senders.clear();
    n.waiting = 0;
    n.on_bus.reset();
    n.idle_from_ns = INT64_MIN;
    n.next_start_ns = n.next_end_ns = kNever;
    n.frames = n.bits = n.rx_lost = n.tx_refused = n.tx_dropped = 0;
    n.recent.clear();
  }
}

}  // namespace detail

// --- control interface -----------------------------------------------------

void set_bus_timing(bool on) {
  if (t_delivery_ns >= 0) throw std::logic_error("ntcan_sim::set_bus_timing called from a participant callback");
  State& s = state();
  std::unique_lock<std::mutex> lock(s.mu);
  if (on == s.timing) return;
  if (!on) {
    // What is queued goes out now, in its order; then frames travel at once.
    s.delivered.wait(lock, [&s] { return !s.delivering; });
    deliver_due(s, lock, true);
    forget_idle_since(s);
  }
  s.timing = on;
  s.pump_cv.notify_all();
  wake_readers(s);
}

bool bus_timing() {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  return s.timing;
}

void set_bus_clock(BusClock* clock) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  if (!clock && s.bus_time.clock) rebase(s, system_ns(), s.bus_time.scale);
  s.bus_time.clock = clock;
  forget_idle_since(s);
  s.pump_cv.notify_all();
  wake_readers(s);
}

void bus_clock_moved() {
  State& s = state();
  auto lock = lock_current(s);
  wake_readers(s);
}

int64_t bus_time_us() {
  if (t_delivery_ns >= 0) return t_delivery_ns / 1000;
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  return bus_now_ns(s) / 1000;
}

int64_t next_bus_event_us() {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  const int64_t next = earliest_end(s);
  return next == kNever ? -1 : (next + 999) / 1000;
}

BusStats bus_stats(int net) {
  if (net < 0 || net >= kNetCount) throw std::invalid_argument("ntcan_sim::bus_stats: no net " + std::to_string(net));
  State& s = state();
  auto lock = lock_current(s);
  Net& n = s.nets[net];
  BusStats out;
  out.baud = n.baud;
  out.frames = n.frames;
  out.bits = n.bits;
  out.rx_lost = n.rx_lost;
  out.tx_refused = n.tx_refused;
  out.tx_dropped = n.tx_dropped;
  out.waiting = n.waiting;
  if (s.timing) {
    const int64_t now = bus_now_ns(s);
    const int64_t from = now - kLoadWindowNs;
    forget_before(n, from);
    auto overlap = [from, now](int64_t a, int64_t b) { return std::max<int64_t>(0, std::min(b, now) - std::max(a, from)); };
    int64_t busy = 0;
    for (const auto& [start, end] : n.recent) busy += overlap(start, end);
    if (n.on_bus) busy += overlap(n.on_bus_start_ns, n.on_bus_end_ns);
    out.load = std::min(1.0, static_cast<double>(busy) / static_cast<double>(kLoadWindowNs));
  }
  return out;
}

}  // namespace ntcan_sim
