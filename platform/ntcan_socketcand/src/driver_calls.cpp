// The driver's C calls on socketcand connections (see ntcan_socketcand.h).
//
// One lock guards the handles and the nets' connections; it is never held
// while connecting, writing to a daemon or waiting for a reading thread.
#include <algorithm>
#include <array>
#include <bitset>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <unordered_map>
#include <vector>

#include "config.h"
#include "frame_queue.h"
#include "link.h"
#include "ntcan.h"
#include "ntcan_socketcand.h"
#include "socketcand_wire.h"

using namespace ntcan_socketcand;

namespace {

constexpr int32_t kMaxId = 0x7FF;
constexpr int32_t kMaxQueueSize = 65536;

struct Handle {
  NTCAN_HANDLE number = NTCAN_NO_HANDLE;
  int net = 0;
  bool open = true;
  std::bitset<kMaxId + 1> filter;
  ntcan_queue::FrameQueue queue;
  int32_t rx_timeout_ms = 0;
  int32_t tx_timeout_ms = 0;
  int readers = 0;  // threads waiting in canRead
  std::condition_variable readable;
};

struct Net {
  std::vector<Handle*> handles;  // open, in the order opened
  std::shared_ptr<Link> link;    // shared by the handles; null or down when lost
  std::mutex connecting;         // one connection attempt per net at a time
};

struct Driver {
  std::mutex mu;
  NTCAN_HANDLE next_handle = 1;  // never reused
  std::unordered_map<NTCAN_HANDLE, std::shared_ptr<Handle>> open;
  std::array<Net, kNetCount> nets;
};

// Leaked: reading threads may still deliver while statics are destroyed.
Driver& driver() {
  static Driver& d = *new Driver;
  return d;
}

Handle* resolve(Driver& d, NTCAN_HANDLE number) {
  const auto it = d.open.find(number);
  return it == d.open.end() ? nullptr : it->second.get();
}

// Queues m on the net's handles whose filter holds it, except `from`. Lock held.
void deliver_locked(Driver& d, int net, const CMSG& m, NTCAN_HANDLE from) {
  CMSG copy = m;
  copy.msg_lost = 0;
  copy.reserved[0] = copy.reserved[1] = 0;
  for (Handle* h : d.nets[net].handles) {
    if (h->number == from || !h->filter.test(static_cast<std::size_t>(m.id))) continue;
    if (h->queue.push(copy) && h->readers > 0) h->readable.notify_all();
  }
}

// A frame read from the net's daemon.
void deliver(int net, const CMSG& m) {
  Driver& d = driver();
  std::lock_guard<std::mutex> lock(d.mu);
  deliver_locked(d, net, m, NTCAN_NO_HANDLE);
}

// Whether the net has a live connection. Lock held.
bool link_up_locked(Driver& d, int net) {
  const std::shared_ptr<Link>& link = d.nets[net].link;
  return link && link->up();
}

// The net's connection failed: readers waiting on its handles return.
void link_down(int net) {
  Driver& d = driver();
  std::lock_guard<std::mutex> lock(d.mu);
  for (Handle* h : d.nets[net].handles)
    if (h->readers > 0) h->readable.notify_all();
}

// The handle `number` when it is open and its net's connection is live;
// else null with the failure in *status. Lock held.
Handle* usable_locked(Driver& d, NTCAN_HANDLE number, NTCAN_RESULT* status) {
  Handle* h = resolve(d, number);
  *status = h == nullptr ? NTCAN_INVALID_HANDLE : link_up_locked(d, h->net) ? NTCAN_SUCCESS : NTCAN_SOCK_CONN_TIMEOUT;
  return *status == NTCAN_SUCCESS ? h : nullptr;
}

// Takes a handle out; returns the net's connection when it was the last
// handle on it (the caller closes that after releasing the lock). Lock held.
std::shared_ptr<Link> release_locked(Driver& d, Handle& h) {
  Net& net = d.nets[h.net];
  net.handles.erase(std::remove(net.handles.begin(), net.handles.end(), &h), net.handles.end());
  h.open = false;
  h.queue.release();
  h.readable.notify_all();
  std::shared_ptr<Link> unused;
  if (net.handles.empty()) unused = std::move(net.link);
  const NTCAN_HANDLE number = h.number;
  d.open.erase(number);  // frees h unless a waiting reader holds it
  return unused;
}

// canIdAdd (enable) and canIdDelete.
NTCAN_RESULT change_filter(NTCAN_HANDLE handle, int32_t id, bool enable) {
  Driver& d = driver();
  std::lock_guard<std::mutex> lock(d.mu);
  NTCAN_RESULT status = NTCAN_SUCCESS;
  Handle* h = usable_locked(d, handle, &status);
  if (h == nullptr) return status;
  if (id < 0 || id > kMaxId) return NTCAN_INVALID_PARAMETER;
  const auto bit = static_cast<std::size_t>(id);
  if (h->filter.test(bit) == enable) return enable ? NTCAN_ID_ALREADY_ENABLED : NTCAN_ID_NOT_ENABLED;
  h->filter.set(bit, enable);
  return NTCAN_SUCCESS;
}

bool valid_frame(const CMSG& m) { return m.id >= 0 && m.id <= kMaxId && (m.len & NTCAN_DLC_MASK) <= 8; }

}  // namespace

namespace ntcan_socketcand {

Counters counters() {
  const LiveCounters& c = live_counters();
  Counters out;
  out.connects = c.connects;
  out.connections_lost = c.connections_lost;
  out.echo_timeouts = c.echo_timeouts;
  out.frames_sent = c.frames_sent;
  out.frames_received = c.frames_received;
  out.remote_refused = c.remote_refused;
  out.extended_dropped = c.extended_dropped;
  out.daemon_errors = c.daemon_errors;
  return out;
}

}  // namespace ntcan_socketcand

extern "C" {

NTCAN_RESULT canOpen(int net, uint32_t flags, int32_t txqueuesize, int32_t rxqueuesize, int32_t txtimeout_ms,
                     int32_t rxtimeout_ms, NTCAN_HANDLE* handle) {
  (void)flags;
  if (handle == nullptr) return NTCAN_INVALID_PARAMETER;
  *handle = NTCAN_NO_HANDLE;
  if (net < 0 || net >= kNetCount) return NTCAN_NET_NOT_FOUND;
  if (txqueuesize < 0 || rxqueuesize < 1 || rxqueuesize > kMaxQueueSize || txtimeout_ms < 0 || rxtimeout_ms < 0) {
    return NTCAN_INVALID_PARAMETER;
  }
  Driver& d = driver();
  Net& n = d.nets[net];
  std::lock_guard<std::mutex> connecting(n.connecting);
  std::shared_ptr<Link> link;
  {
    std::lock_guard<std::mutex> lock(d.mu);
    link = n.link;
  }
  if (!link || !link->up()) {
    const auto ep = endpoint_of(net);
    if (!ep) return NTCAN_NET_NOT_FOUND;
    link.reset();
    const NTCAN_RESULT r = Link::open(
        *ep, [net](const CMSG& m) { deliver(net, m); }, [net] { link_down(net); }, &link);
    if (r != NTCAN_SUCCESS) return r;
  }

  std::shared_ptr<Link> replaced;
  {
    std::lock_guard<std::mutex> lock(d.mu);
    if (d.next_handle == INT32_MAX) return NTCAN_INSUFFICIENT_RESOURCES;
    try {
      auto h = std::make_shared<Handle>();
      h->number = d.next_handle;
      h->net = net;
      h->rx_timeout_ms = rxtimeout_ms;
      h->tx_timeout_ms = txtimeout_ms;
      h->queue = ntcan_queue::FrameQueue(static_cast<std::size_t>(rxqueuesize));
      d.open.emplace(h->number, h);
      n.handles.push_back(h.get());
    } catch (const std::bad_alloc&) {
      d.open.erase(d.next_handle);
      return NTCAN_INSUFFICIENT_RESOURCES;
    }
    if (n.link != link) {
      // Every handle of the net is served by the new connection from now on.
      replaced = std::move(n.link);
      n.link = link;
    }
    *handle = d.next_handle++;
  }
  if (replaced) replaced->close();
  return NTCAN_SUCCESS;
}

NTCAN_RESULT canClose(NTCAN_HANDLE handle) {
  Driver& d = driver();
  std::shared_ptr<Link> unused;
  {
    std::lock_guard<std::mutex> lock(d.mu);
    Handle* h = resolve(d, handle);
    if (h == nullptr) return NTCAN_INVALID_HANDLE;
    unused = release_locked(d, *h);
  }
  if (unused) unused->close();
  return NTCAN_SUCCESS;
}

NTCAN_RESULT canSetBaudrate(NTCAN_HANDLE handle, uint32_t baud) {
  (void)baud;
  Driver& d = driver();
  std::lock_guard<std::mutex> lock(d.mu);
  NTCAN_RESULT status = NTCAN_SUCCESS;
  usable_locked(d, handle, &status);
  return status;
}

NTCAN_RESULT canIdAdd(NTCAN_HANDLE handle, int32_t id) { return change_filter(handle, id, true); }

NTCAN_RESULT canIdDelete(NTCAN_HANDLE handle, int32_t id) { return change_filter(handle, id, false); }

NTCAN_RESULT canSend(NTCAN_HANDLE handle, CMSG* msg, int32_t* len) {
  Driver& d = driver();
  const int32_t n = len ? *len : 0;
  if (len) *len = 0;
  std::shared_ptr<Link> link;
  int32_t tx_timeout = 0;
  int net = 0;
  {
    std::lock_guard<std::mutex> lock(d.mu);
    Handle* h = resolve(d, handle);
    if (h == nullptr) return NTCAN_INVALID_HANDLE;
    if (msg == nullptr || n < 1) return NTCAN_INVALID_PARAMETER;
    for (int32_t i = 0; i < n; ++i) {
      if (!valid_frame(msg[i])) return NTCAN_INVALID_PARAMETER;
      if (msg[i].len & NTCAN_RTR) {
        ++live_counters().remote_refused;
        return NTCAN_INVALID_PARAMETER;
      }
    }
    link = d.nets[h->net].link;
    tx_timeout = h->tx_timeout_ms;
    net = h->net;
  }
  if (!link || !link->up()) return NTCAN_SOCK_CONN_TIMEOUT;
  std::string text;
  try {
    for (int32_t i = 0; i < n; ++i) {
      socketcand::WireFrame f;
      f.id = static_cast<uint32_t>(msg[i].id);
      f.len = static_cast<uint8_t>(msg[i].len & NTCAN_DLC_MASK);
      std::memcpy(f.data, msg[i].data, sizeof f.data);
      text += socketcand::format_send(f);
    }
  } catch (const std::bad_alloc&) {
    return NTCAN_INSUFFICIENT_RESOURCES;
  }
  const NTCAN_RESULT r = link->write(text, tx_timeout);
  if (r != NTCAN_SUCCESS) return r;
  live_counters().frames_sent += static_cast<uint64_t>(n);
  std::lock_guard<std::mutex> lock(d.mu);
  for (int32_t i = 0; i < n; ++i) deliver_locked(d, net, msg[i], handle);
  *len = n;
  return NTCAN_SUCCESS;
}

NTCAN_RESULT canTake(NTCAN_HANDLE handle, CMSG* msg, int32_t* len) {
  Driver& d = driver();
  std::lock_guard<std::mutex> lock(d.mu);
  const int32_t max = len ? *len : 0;
  if (len) *len = 0;
  NTCAN_RESULT status = NTCAN_SUCCESS;
  Handle* h = usable_locked(d, handle, &status);
  if (h == nullptr) return status;
  if (msg == nullptr || max < 1) return NTCAN_INVALID_PARAMETER;
  *len = h->queue.take(msg, max);
  return NTCAN_SUCCESS;
}

NTCAN_RESULT canRead(NTCAN_HANDLE handle, CMSG* msg, int32_t* len, void* ovrlppd) {
  Driver& d = driver();
  std::unique_lock<std::mutex> lock(d.mu);
  const int32_t max = len ? *len : 0;
  if (len) *len = 0;
  NTCAN_RESULT status = NTCAN_SUCCESS;
  Handle* h = usable_locked(d, handle, &status);
  if (h == nullptr) return status;
  if (msg == nullptr || max < 1 || ovrlppd != nullptr) return NTCAN_INVALID_PARAMETER;
  if (h->queue.size() == 0) {
    if (h->rx_timeout_ms == 0) return NTCAN_RX_TIMEOUT;
    const int net = h->net;
    const NTCAN_RESULT r = ntcan_queue::wait_readable(
        lock, d.open.at(handle), std::chrono::steady_clock::now() + std::chrono::milliseconds(h->rx_timeout_ms),
        [&d, net] { return !link_up_locked(d, net); });
    if (r != NTCAN_SUCCESS) return r;
  }
  *len = h->queue.take(msg, max);
  return NTCAN_SUCCESS;
}

NTCAN_RESULT canStatus(NTCAN_HANDLE handle, CAN_IF_STATUS* status) {
  Driver& d = driver();
  std::lock_guard<std::mutex> lock(d.mu);
  NTCAN_RESULT usable = NTCAN_SUCCESS;
  if (usable_locked(d, handle, &usable) == nullptr) return usable;
  if (status == nullptr) return NTCAN_INVALID_PARAMETER;
  CAN_IF_STATUS st{};
  st.hardware = st.firmware = st.driver = st.dll = 0x0100;
  static const char kBoardId[] = "SOCKETCAND";
  static_assert(sizeof kBoardId <= sizeof st.boardid, "board id fits");
  std::memcpy(st.boardid, kBoardId, sizeof kBoardId);
  *status = st;
  return NTCAN_SUCCESS;
}

}  // extern "C"
