// The node registry, the blocks that masters share with their followers, and
// the locks around a node's line and handle. Internal to the library.
//
// Lock order: D_can::mx_loop (LoopLock), then one line's handle lock
// (HandleUse, and the line's opening and closing of handles), then the
// driver. Nothing that holds a line's handle lock takes mx_loop. The
// supervision threads take only their line's handle lock.
#ifndef VORBEL_NODE_REGISTRY_H
#define VORBEL_NODE_REGISTRY_H

#include <vector>

#include "D_vorbel.h"
#include "services/supervision.h"

namespace vorbel {

// Registered master nodes in order of registration; changed and read only
// under D_can::mx_loop. The pointers own nothing.
std::vector<D_can*>& can_list();

constexpr int kRxBufferFrames = 100;

// What a master shares with its followers: the receive buffer with its count
// and status word, the alive cell and the supervision entry. Counted and
// handed out under D_can::mx_loop; a block no node points at any more goes
// back to a free list and is handed out again, never freed (a client may
// still read an old alive cell through the framework).
struct NodeBlock {
  CMSG frames[kRxBufferFrames];
  int status;
  int32_t count;
  int alive;
  int users = 0;             // nodes pointing at the block
  D_can* master = nullptr;   // the registered node that fills it
  bool orphaned = false;     // its master was destroyed or moved
  Supervision supervision;
  uint32_t fills = 0;        // fills of the buffer so far (0 only before the first)
};
// Under D_can::mx_loop: one more fill of the block's buffer.
inline uint32_t count_fill(NodeBlock& b) {
  if (++b.fills == 0) b.fills = 1;
  return b.fills;
}
NodeBlock* acquire_block(D_can* master);
void release_block(NodeBlock* block);

// The node's status word and frame count are written by the polling thread
// and by the device code's receive calls: they are accessed atomically.
inline void store_word(int* p, int v) { __atomic_store_n(p, v, __ATOMIC_RELAXED); }
inline int load_word(const int* p) { return __atomic_load_n(p, __ATOMIC_RELAXED); }

// D_can::mx_loop, taken unless the calling thread holds it already: the
// server loop holds it around a node's fill, and an override of can_fill may
// call back into the library.
class LoopLock {
 public:
  LoopLock() : owner_(!held_) {
    if (owner_) {
      D_can::mx_loop.lock();
      held_ = true;
    }
  }
  ~LoopLock() {
    if (owner_) {
      held_ = false;
      D_can::mx_loop.unlock();
    }
  }
  LoopLock(const LoopLock&) = delete;
  LoopLock& operator=(const LoopLock&) = delete;
  // Whether the calling thread holds mx_loop.
  static bool held() { return held_; }

 private:
  static inline thread_local bool held_ = false;
  const bool owner_;
};

// One driver call on a node's handle: the handle the node may use now, held
// against every close (by the node, its master or its line) until the guard
// goes. False when the node has no usable handle; the caller answers 77.
class HandleUse {
 public:
  explicit HandleUse(const D_can& node);
  ~HandleUse();
  HandleUse(const HandleUse&) = delete;
  HandleUse& operator=(const HandleUse&) = delete;
  explicit operator bool() const { return line_ != nullptr; }
  NTCAN_HANDLE handle() const { return handle_; }

 private:
  canline* line_ = nullptr;
  NTCAN_HANDLE handle_ = -1;
};

}  // namespace vorbel

#endif  // VORBEL_NODE_REGISTRY_H
