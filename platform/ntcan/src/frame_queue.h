// The receive queue of one driver handle, shared by the simulated driver and
// the socketcand driver: a ring of fixed capacity, allocated once. When it is
// full the newest frame is dropped and counted; the next frame taken reports
// the frames dropped since the previous take in msg_lost (at most 255).
// Not thread-safe: the driver's lock guards it.
#ifndef NTCAN_FRAME_QUEUE_H
#define NTCAN_FRAME_QUEUE_H

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "ntcan.h"

namespace ntcan_queue {

class FrameQueue {
 public:
  explicit FrameQueue(std::size_t capacity = 0) : ring_(capacity) {}

  // Appends a copy of m; false (and counted) when the queue is full.
  bool push(const CMSG& m) {
    if (count_ == ring_.size()) {
      if (lost_pending_ < UINT32_MAX) ++lost_pending_;
      ++dropped_total_;
      return false;
    }
    ring_[(head_ + count_) % ring_.size()] = m;
    ++count_;
    return true;
  }

  // Moves up to max frames, oldest first, to out and returns their number.
  int32_t take(CMSG* out, int32_t max) {
    const auto n = static_cast<int32_t>(std::min<std::size_t>(count_, static_cast<std::size_t>(max)));
    for (int32_t i = 0; i < n; ++i) {
      out[i] = ring_[head_];
      head_ = (head_ + 1) % ring_.size();
    }
    count_ -= static_cast<std::size_t>(n);
    if (n > 0) {
      out[0].msg_lost = static_cast<uint8_t>(std::min<uint32_t>(lost_pending_, 255));
      lost_pending_ = 0;
    }
    return n;
  }

  // Empties the queue and gives its memory back (the handle is closed).
  void release() {
    count_ = 0;
    std::vector<CMSG>().swap(ring_);
  }

  std::size_t size() const { return count_; }
  std::size_t capacity() const { return ring_.size(); }
  uint64_t dropped_total() const { return dropped_total_; }

 private:
  std::vector<CMSG> ring_;
  std::size_t head_ = 0;
  std::size_t count_ = 0;
  uint32_t lost_pending_ = 0;  // dropped since the last take
  uint64_t dropped_total_ = 0;
};

// canRead's wait on an empty queue, with the driver's lock held in `lock`:
// until a frame is queued for the handle, the handle is closed, `broken()`
// holds (the handle's connection failed) or the deadline passes.
// NTCAN_SUCCESS with a frame waiting, NTCAN_INVALID_HANDLE when closed,
// NTCAN_SOCK_CONN_TIMEOUT when broken, else NTCAN_RX_TIMEOUT. `keep` is a
// copy, not a reference into the driver's table: it holds the handle while a
// close takes it from the table. Its readers count tells a delivery whom to wake.
template <class Handle, class Broken>
NTCAN_RESULT wait_readable(std::unique_lock<std::mutex>& lock, const std::shared_ptr<Handle> keep,
                           std::chrono::steady_clock::time_point deadline, Broken broken) {
  ++keep->readers;
  keep->readable.wait_until(lock, deadline, [&] { return !keep->open || keep->queue.size() > 0 || broken(); });
  --keep->readers;
  if (!keep->open) return NTCAN_INVALID_HANDLE;
  if (broken()) return NTCAN_SOCK_CONN_TIMEOUT;
  return keep->queue.size() > 0 ? NTCAN_SUCCESS : NTCAN_RX_TIMEOUT;
}

template <class Handle>
NTCAN_RESULT wait_readable(std::unique_lock<std::mutex>& lock, const std::shared_ptr<Handle> keep,
                           std::chrono::steady_clock::time_point deadline) {
  return wait_readable(lock, keep, deadline, [] { return false; });
}

}  // namespace ntcan_queue

#endif  // NTCAN_FRAME_QUEUE_H
