// The driver's C calls on the virtual nets.
//
// Every call takes the simulation lock, counts itself, resolves its handle,
// checks its arguments, consults the fault table of the net and only then
// does its work. Nothing here throws: allocation failures become
// NTCAN_INSUFFICIENT_RESOURCES.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>

#include "bus_state.h"

using namespace ntcan_sim;
using namespace ntcan_sim::detail;

namespace {

// Looks up an open handle, counting the call on its net (or on no net).
Handle* resolve(State& s, NTCAN_HANDLE number, Call call) {
  const auto it = s.open.find(number);
  if (it == s.open.end()) {
    count_call(s, call, kNoNet);
    if (number > 0 && number < s.next_handle) ++s.closed_handle_calls;  // issued once
    return nullptr;
  }
  count_call(s, call, it->second->net);
  return it->second.get();
}

// Releases a handle: it leaves its net and the open table, waiting readers
// wake up, and a summary stays in the bounded history of closed handles.
void release(State& s, Handle& h) noexcept {
  auto& on_net = s.nets[h.net].handles;
  on_net.erase(std::remove(on_net.begin(), on_net.end(), &h), on_net.end());
  drop_queued(s.nets[h.net], h.number);
  h.open = false;
  try {
    s.closed.push_back(info_of(h));
    if (s.closed.size() > kClosedHistory) s.closed.pop_front();
  } catch (const std::bad_alloc&) {
    // The history is only for inspection; the handle is released regardless.
  }
  h.queue.release();
  h.readable.notify_all();
  const NTCAN_HANDLE number = h.number;  // h may die inside erase
  s.open.erase(number);  // frees h unless a waiting reader still holds it
}

std::chrono::steady_clock::duration read_wait(int32_t timeout_ms, double scale) {
  // Cap at a day so that absurd scales cannot overflow the clock.
  const double ms = std::min(static_cast<double>(timeout_ms) * scale, 86400e3);
  return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double, std::milli>(ms));
}

// canRead's wait when bus time comes from a BusClock: the time-out counts
// in bus time; the clock moves on this thread when the clock lets it (see
// BusClock::wait_until_us), else on another thread, which reports it.
NTCAN_RESULT wait_on_bus_clock(State& s, std::unique_lock<std::mutex>& lock, const std::shared_ptr<Handle>& h) {
  BusClock* const clock = s.bus_time.clock;
  const int64_t deadline = bus_now_ns(s) + static_cast<int64_t>(h->rx_timeout_ms) * 1000000;
  auto done = [&] {
    return !h->open || h->queue.size() > 0 || bus_now_ns(s) >= deadline || s.bus_time.clock != clock || !s.timing;
  };
  while (!done()) {
    if (s.delivering && !in_delivery()) {  // another thread delivers what is due
      s.delivered.wait(lock);
      catch_up(s, lock);
      continue;
    }
    const int64_t until = std::min(deadline, earliest_end(s));
    lock.unlock();
    const bool moved = clock->wait_until_us((until + 999) / 1000);
    lock.lock();
    if (moved) {
      catch_up(s, lock);
      continue;
    }
    ++h->readers;
    h->readable.wait(lock, done);
    --h->readers;
  }
  if (!h->open) return NTCAN_INVALID_HANDLE;
  return h->queue.size() > 0 ? NTCAN_SUCCESS : NTCAN_RX_TIMEOUT;
}

}  // namespace

namespace ntcan_sim::detail {

void release_all(State& s) {
  std::vector<Handle*> all;
  all.reserve(s.open.size());
  for (auto& entry : s.open) all.push_back(entry.second.get());
  for (Handle* h : all) release(s, *h);
}

}  // namespace ntcan_sim::detail

extern "C" {

NTCAN_RESULT canOpen(int net, uint32_t flags, int32_t txqueuesize, int32_t rxqueuesize,
                     int32_t txtimeout_ms, int32_t rxtimeout_ms, NTCAN_HANDLE* handle) {
  (void)flags;
  State& s = state();
  auto lock = lock_current(s);
  count_call(s, Call::Open, net);
  if (handle == nullptr) return NTCAN_INVALID_PARAMETER;
  *handle = NTCAN_NO_HANDLE;
  if (!valid_net(net)) return NTCAN_NET_NOT_FOUND;
  if (txqueuesize < 0 || rxqueuesize < 1 || rxqueuesize > kMaxQueueSize ||
      txtimeout_ms < 0 || rxtimeout_ms < 0) {
    return NTCAN_INVALID_PARAMETER;
  }
  if (const NTCAN_RESULT fault = take_fault(s, net, Call::Open)) return fault;
  NTCAN_HANDLE number = s.next_handle;
  if (s.reuse_handles) {
    number = 1;  // the lowest number no open handle has, as file descriptors
    while (s.open.count(number)) ++number;
  }
  if (number == INT32_MAX) return NTCAN_INSUFFICIENT_RESOURCES;

  try {
    auto h = std::make_shared<Handle>();
    h->number = number;
    h->net = net;
    h->rx_timeout_ms = rxtimeout_ms;
    h->tx_timeout_ms = txtimeout_ms;
    h->tx_queue_size = txqueuesize;
    h->queue = ntcan_queue::FrameQueue(static_cast<std::size_t>(rxqueuesize));
    auto& on_net = s.nets[net].handles;
    on_net.push_back(h.get());
    try {
      s.open.emplace(h->number, h);
    } catch (const std::bad_alloc&) {
      on_net.pop_back();
      throw;
    }
  } catch (const std::bad_alloc&) {
    return NTCAN_INSUFFICIENT_RESOURCES;
  }
  *handle = number;
  if (number >= s.next_handle) s.next_handle = number + 1;  // stays above every number issued
  return NTCAN_SUCCESS;
}

NTCAN_RESULT canClose(NTCAN_HANDLE handle) {
  State& s = state();
  auto lock = lock_current(s);
  Handle* h = resolve(s, handle, Call::Close);
  if (h == nullptr) return NTCAN_INVALID_HANDLE;
  const NTCAN_RESULT fault = take_fault(s, h->net, Call::Close);
  release(s, *h);  // a failed close releases the handle all the same
  return fault;
}

NTCAN_RESULT canSetBaudrate(NTCAN_HANDLE handle, uint32_t baud) {
  State& s = state();
  auto lock = lock_current(s);
  Handle* h = resolve(s, handle, Call::SetBaudrate);
  if (h == nullptr) return NTCAN_INVALID_HANDLE;
  if (const NTCAN_RESULT fault = take_fault(s, h->net, Call::SetBaudrate)) return fault;
  h->baud = baud;
  set_net_baud(s, s.nets[h->net], baud);
  return NTCAN_SUCCESS;
}

NTCAN_RESULT canIdAdd(NTCAN_HANDLE handle, int32_t id) {
  State& s = state();
  auto lock = lock_current(s);
  Handle* h = resolve(s, handle, Call::IdAdd);
  if (h == nullptr) return NTCAN_INVALID_HANDLE;
  if (id < 0 || id > kMaxId) return NTCAN_INVALID_PARAMETER;
  if (const NTCAN_RESULT fault = take_fault(s, h->net, Call::IdAdd)) return fault;
  const auto bit = static_cast<std::size_t>(id);
  if (h->filter.test(bit)) return NTCAN_ID_ALREADY_ENABLED;
  h->filter.set(bit);
  return NTCAN_SUCCESS;
}

NTCAN_RESULT canIdDelete(NTCAN_HANDLE handle, int32_t id) {
  State& s = state();
  auto lock = lock_current(s);
  Handle* h = resolve(s, handle, Call::IdDelete);
  if (h == nullptr) return NTCAN_INVALID_HANDLE;
  if (id < 0 || id > kMaxId) return NTCAN_INVALID_PARAMETER;
  if (const NTCAN_RESULT fault = take_fault(s, h->net, Call::IdDelete)) return fault;
  const auto bit = static_cast<std::size_t>(id);
  if (!h->filter.test(bit)) return NTCAN_ID_NOT_ENABLED;
  h->filter.reset(bit);
  return NTCAN_SUCCESS;
}

NTCAN_RESULT canSend(NTCAN_HANDLE handle, CMSG* msg, int32_t* len) {
  State& s = state();
  Dispatch callbacks;
  {
    auto lock = lock_current(s);
    const int32_t n = (len != nullptr) ? *len : 0;
    if (len != nullptr) *len = 0;
    Handle* h = resolve(s, handle, Call::Send);
    if (h == nullptr) return NTCAN_INVALID_HANDLE;
    if (msg == nullptr || n < 1) return NTCAN_INVALID_PARAMETER;
    for (int32_t i = 0; i < n; ++i) {
      if (!valid_frame(msg[i])) return NTCAN_INVALID_PARAMETER;
    }
    if (const NTCAN_RESULT fault = take_fault(s, h->net, Call::Send)) return fault;
    try {
      if (!s.timing) {
        callbacks = put_on_net(s, h->net, msg, n, h->number, std::string());
      } else if (!queue_for_bus(s, h->net, msg, n, h->number, std::string(),
                                static_cast<std::size_t>(std::max(h->tx_queue_size, 1)))) {
        return NTCAN_TX_ERROR;
      }
    } catch (const std::bad_alloc&) {
      return NTCAN_INSUFFICIENT_RESOURCES;
    }
    *len = n;
  }
  // Lock released: participants may answer by calling back into the driver.
  callbacks.run();
  return NTCAN_SUCCESS;
}

NTCAN_RESULT canTake(NTCAN_HANDLE handle, CMSG* msg, int32_t* len) {
  State& s = state();
  auto lock = lock_current(s);
  const int32_t max = (len != nullptr) ? *len : 0;
  if (len != nullptr) *len = 0;
  Handle* h = resolve(s, handle, Call::Take);
  if (h == nullptr) return NTCAN_INVALID_HANDLE;
  if (msg == nullptr || max < 1) return NTCAN_INVALID_PARAMETER;
  if (const NTCAN_RESULT fault = take_fault(s, h->net, Call::Take)) return fault;
  *len = h->queue.take(msg, max);
  return NTCAN_SUCCESS;
}

NTCAN_RESULT canRead(NTCAN_HANDLE handle, CMSG* msg, int32_t* len, void* ovrlppd) {
  State& s = state();
  auto lock = lock_current(s);
  const int32_t max = (len != nullptr) ? *len : 0;
  if (len != nullptr) *len = 0;
  Handle* h = resolve(s, handle, Call::Read);
  if (h == nullptr) return NTCAN_INVALID_HANDLE;
  if (msg == nullptr || max < 1 || ovrlppd != nullptr) return NTCAN_INVALID_PARAMETER;
  if (const NTCAN_RESULT fault = take_fault(s, h->net, Call::Read)) return fault;

  if (h->queue.size() == 0 && s.timing && s.bus_time.clock) {
    if (const NTCAN_RESULT r = wait_on_bus_clock(s, lock, s.open.at(handle))) return r;
  } else if (h->queue.size() == 0) {
    const auto wait = read_wait(h->rx_timeout_ms, s.time_scale);
    if (wait <= std::chrono::steady_clock::duration::zero()) return NTCAN_RX_TIMEOUT;
    const NTCAN_RESULT r =
        ntcan_queue::wait_readable(lock, s.open.at(handle), std::chrono::steady_clock::now() + wait);
    if (r != NTCAN_SUCCESS) return r;
  }
  *len = h->queue.take(msg, max);
  return NTCAN_SUCCESS;
}

NTCAN_RESULT canStatus(NTCAN_HANDLE handle, CAN_IF_STATUS* status) {
  State& s = state();
  auto lock = lock_current(s);
  Handle* h = resolve(s, handle, Call::Status);
  if (h == nullptr) return NTCAN_INVALID_HANDLE;
  if (status == nullptr) return NTCAN_INVALID_PARAMETER;
  if (const NTCAN_RESULT fault = take_fault(s, h->net, Call::Status)) return fault;
  CAN_IF_STATUS st{};
  st.hardware = 0x0100;
  st.firmware = 0x0100;
  st.driver = 0x0100;
  st.dll = 0x0100;
  st.boardstatus = s.nets[h->net].board_status;
  static const char kBoardId[] = "VORBEL-SIM";
  static_assert(sizeof kBoardId <= sizeof st.boardid, "board id fits");
  std::memcpy(st.boardid, kBoardId, sizeof kBoardId);
  st.features = 0;
  *status = st;
  return NTCAN_SUCCESS;
}

}  // extern "C"
