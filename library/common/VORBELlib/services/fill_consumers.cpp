// What takes frames from a node's fills beside device code's can_array: the
// node's emergency queue and its bound transmit PDOs.
#include <algorithm>

#include "D_vorbel.h"
#include "node/node_registry.h"
#include "services/framework_time.h"
#include "services/node_id.h"

namespace vorbel {

namespace {

bool emergency_of(const CMSG& m, int node_id) { return m.id == 0x080 + node_id && !(m.len & NTCAN_RTR); }

using Receivers = std::vector<std::shared_ptr<PdoReceiver>>;

Receivers::iterator receiver_of(Receivers& rs, int32_t can_id) {
  return std::find_if(rs.begin(), rs.end(), [&](const auto& r) { return r->can_id() == can_id; });
}

}  // namespace

// The framework clock is read at most once per pass of the server loop
// (its time is in ms) and only when a consumer has a frame in the fill.
void feed_consumers_of(NodeBlock& b) {
  const int n = b.count < kRxBufferFrames ? b.count : kRxBufferFrames;
  if (n <= 0) return;
  if (b.emergencies && std::any_of(b.frames, b.frames + n, [&](const CMSG& m) { return emergency_of(m, b.emergency_node); }))
    b.emergencies->collect(b.frames, n, b.emergency_node, fill_time_ms());
  for (const auto& r : b.receivers)
    if (std::any_of(b.frames, b.frames + n, [&](const CMSG& m) { return m.id == r->can_id(); }))
      r->take(b.frames, n, fill_time_ms());
}

}  // namespace vorbel

int D_can::emergency_queue(int capacity) {
  const int node_id = current_node_id();
  if (capacity < 0) return NTCAN_INVALID_PARAMETER;
  if (const int refused = check_node_id(node_id, 1, vorbel::kEmergencyService, "D_can::emergency_queue")) return refused;
  auto queue = capacity > 0 ? std::make_unique<vorbel::EmergencyQueue>(capacity) : nullptr;
  vorbel::LoopLock lk;
  vorbel::NodeBlock* b = block_.load(std::memory_order_relaxed);
  if (!b) return -1;
  std::lock_guard<vorbel::SpinLock> g(b->mx);
  b->emergencies.swap(queue);
  b->emergency_node = node_id;
  return 0;
}

bool D_can::take_emergency(vorbel::Emergency* e) {
  vorbel::NodeBlock* b = block_.load(std::memory_order_acquire);
  if (!b || !e) return false;
  std::lock_guard<vorbel::SpinLock> g(b->mx);
  return b->emergencies && b->emergencies->take(e);
}

uint64_t D_can::emergencies_dropped() const {
  vorbel::NodeBlock* b = block_.load(std::memory_order_acquire);
  if (!b) return 0;
  std::lock_guard<vorbel::SpinLock> g(b->mx);
  return b->emergencies ? b->emergencies->dropped() : 0;
}

int D_can::bind_tpdo(int32_t can_id, const vorbel::PdoMapping& mapping) {
  if (can_id < 1 || can_id > 0x7FF || mapping.size() == 0) return NTCAN_INVALID_PARAMETER;
  auto receiver = std::make_shared<vorbel::PdoReceiver>(can_id, mapping);
  vorbel::LoopLock lk;
  vorbel::NodeBlock* b = block_.load(std::memory_order_relaxed);
  if (!b) return -1;
  {
    std::lock_guard<vorbel::SpinLock> g(b->mx);
    auto it = vorbel::receiver_of(b->receivers, can_id);
    if (it != b->receivers.end())
      *it = std::move(receiver);
    else
      b->receivers.push_back(std::move(receiver));
  }
  return add_ident(can_id);
}

int D_can::unbind_tpdo(int32_t can_id) {
  vorbel::LoopLock lk;
  vorbel::NodeBlock* b = block_.load(std::memory_order_relaxed);
  if (!b) return -1;
  std::lock_guard<vorbel::SpinLock> g(b->mx);
  auto it = vorbel::receiver_of(b->receivers, can_id);
  if (it == b->receivers.end()) return -1;
  b->receivers.erase(it);
  return 0;
}

std::shared_ptr<const vorbel::PdoReceiver> D_can::tpdo(int32_t can_id) const {
  vorbel::NodeBlock* b = block_.load(std::memory_order_acquire);
  if (!b) return nullptr;
  std::lock_guard<vorbel::SpinLock> g(b->mx);
  auto it = vorbel::receiver_of(b->receivers, can_id);
  return it == b->receivers.end() ? nullptr : *it;
}
