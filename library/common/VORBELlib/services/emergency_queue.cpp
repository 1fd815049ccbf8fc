// The bounded queue of decoded emergencies between the thread that takes a
// node's frames and device code.
#include "vorbel_emergency.h"

namespace vorbel {

EmergencyQueue::EmergencyQueue(int capacity)
    : ring_(static_cast<size_t>(capacity >= 1 ? capacity : kDefaultCapacity)) {}

bool EmergencyQueue::push(const Emergency& e) {
  std::lock_guard<std::mutex> lock(mu_);
  if (count_ == capacity()) {
    ++dropped_;
    return false;
  }
  ring_[static_cast<size_t>((head_ + count_) % capacity())] = e;
  ++count_;
  return true;
}

int EmergencyQueue::collect(const CMSG* frames, int count, int node_id, long long taken_ms) {
  if (!frames) return 0;
  int found = 0;
  Emergency e;
  for (int i = 0; i < count; ++i) {
    if (decode_emergency(frames[i], taken_ms, &e) != 0 || e.node_id != node_id) continue;
    ++found;
    push(e);
  }
  return found;
}

bool EmergencyQueue::take(Emergency* out) {
  if (!out) return false;
  std::lock_guard<std::mutex> lock(mu_);
  if (count_ == 0) return false;
  *out = ring_[static_cast<size_t>(head_)];
  head_ = (head_ + 1) % capacity();
  --count_;
  return true;
}

int EmergencyQueue::size() const {
  std::lock_guard<std::mutex> lock(mu_);
  return count_;
}

uint64_t EmergencyQueue::dropped() const {
  std::lock_guard<std::mutex> lock(mu_);
  return dropped_;
}

void EmergencyQueue::clear() {
  std::lock_guard<std::mutex> lock(mu_);
  head_ = 0;
  count_ = 0;
}

}  // namespace vorbel
