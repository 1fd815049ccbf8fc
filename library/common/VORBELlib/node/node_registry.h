// The node registry, the blocks that masters share with their followers, the
// frames kept aside for the server loop, and the locks around them.
// Internal to the library.
//
// Lock order (a thread holding one of these takes only those below it):
//   the equipment function's lock (the framework's client calls)
//   D_can::mx_loop (LoopLock): the registry and every node's line, handle
//                  and block links; held for a few steps, never across a
//                  driver open, a read, a gateway reset or device code
//   the block pool lock, then one block's lock (NodeBlock::mx): the fill,
//                  its buffer and the frames kept aside
//   a line's handle list (LineHandles::mx), the table of openings
//   the driver: only calls that do not block (canTake of the fill, canIdAdd,
//                  canClose)
// The server loop takes only block locks; the supervision threads take only
// their line's handle list and the block locks (passing them once when a
// close lets fills finish). No lock is held while the library calls a
// device class's override or the driver waits.
#ifndef VORBEL_NODE_REGISTRY_H
#define VORBEL_NODE_REGISTRY_H

#include <condition_variable>
#include <memory>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "D_vorbel.h"
#include "line/openings.h"
#include "node/spin_lock.h"
#include "services/supervision.h"

namespace vorbel {

constexpr int kRxBufferFrames = 100;

// Frames taken from a node's handle by an SDO transfer or a poll that were
// not its answer, kept in order for the node's next fills. Bounded; what
// does not fit is counted.
class FrameRing {
 public:
  static constexpr int kCapacity = 256;

  // Appends n frames; returns how many did not fit (dropped, newest first).
  int push(const CMSG* frames, int n) {
    int kept = 0;
    for (; kept < n && size_ < kCapacity; ++kept) ring_[(head_ + size_++) % kCapacity] = frames[kept];
    return n - kept;
  }
  // Copies up to `room` of the oldest frames out, leaving them in place.
  int peek(CMSG* out, int room) const {
    const int n = size_ < room ? size_ : room;
    for (int i = 0; i < n; ++i) out[i] = ring_[(head_ + i) % kCapacity];
    return n;
  }
  void consume(int n) {
    head_ = (head_ + n) % kCapacity;
    size_ -= n;
  }
  int size() const { return size_; }
  void clear() { head_ = size_ = 0; }

 private:
  int head_ = 0;
  int size_ = 0;
  // Apart from the block: the fill looks at every ring's size, rarely at
  // its frames.
  std::unique_ptr<CMSG[]> ring_{new CMSG[kCapacity]};
};

// What a master shares with its followers: the receive buffer with its count
// and status word, the frames kept aside for it, the alive cell and the
// supervision entry. A block no node points at any more goes back to a free
// list and is handed out again, never freed (a client may still read an old
// alive cell through the framework, and the server loop may still hold its
// pointer).
struct NodeBlock {
  // The per-node lock of the server loop: the fill, the buffer, the frames
  // kept aside, the takers and the loop's pins. What a fill reads comes
  // first, together.
  SpinLock mx;
  bool polled = false;     // in the registry: the server loop fills it
  bool plain = false;      // the master's can_fill and can_get are the library's own
  int takers = 0;          // transfers and polls taking the node's frames now
  // The handle the fill takes from (the master's) and its opening; -1 once
  // the opening is closed (a close clears it under this lock) or the master
  // gave it up.
  NTCAN_HANDLE handle = -1;
  OpeningRef source = 0;
  uint32_t fills = 0;      // fills of the buffer so far (0 only before the first)
  int status = 0;          // also read atomically without mx (can_return)
  int32_t count = 0;
  FrameRing aside;         // its size on the same cache line as the above
  CMSG frames[kRxBufferFrames];
  D_can* master = nullptr;  // the node that fills it (also under mx_loop)
  // Consumers of the fills' frames, opt-in (see feed_consumers).
  std::unique_ptr<EmergencyQueue> emergencies;
  int emergency_node = 0;  // the node id whose emergencies it takes
  std::vector<std::shared_ptr<PdoReceiver>> receivers;
  int pins = 0;            // the server loop is in the master's can_fill
  std::condition_variable_any unpinned;
  bool recycle_when_left = false;  // given up while pinned or taken from: the last to leave frees it

  // Under D_can::mx_loop.
  int users = 0;                         // nodes pointing at the block
  std::atomic<bool> orphaned{false};     // its master was destroyed or moved
  int alive = 0;
  Supervision supervision;

  std::atomic<uint64_t> dropped{0};  // frames that found no room aside (frames_dropped)
};

// Under the block's lock: the handle the fill takes from, by its opening (0:
// none). A closed opening leaves the fill without a handle.
inline void set_source(NodeBlock& b, OpeningRef ref) {
  b.source = ref;
  b.handle = opening_open(ref) ? opening_handle(ref) : -1;
}

// Under the block's lock, after a fill put its frames into the buffer: the
// emergency queue and the bound PDOs take theirs (nothing to do for a block
// without them).
void feed_consumers_of(NodeBlock& b);
// The framework time of a fill in ms: read once per pass of can_looping on
// its thread, else at each call (message_io.cpp).
long long fill_time_ms();
inline void feed_consumers(NodeBlock& b) {
  if (b.emergencies || !b.receivers.empty()) feed_consumers_of(b);
}

// Under the block's lock: one more fill of its buffer.
inline uint32_t count_fill(NodeBlock& b) {
  if (++b.fills == 0) b.fills = 1;
  return b.fills;
}

// Under D_can::mx_loop: a block for a new master, and giving one up.
NodeBlock* acquire_block(D_can* master);
void release_block(NodeBlock* block);
// The server loop leaves a node's fill that it called with the block pinned
// (under no lock), or a transfer or poll stops taking the node's frames: the
// count is lowered, and a block given up meanwhile is freed here.
void leave_block(NodeBlock& block, int NodeBlock::*count);
// Whether the calling thread is the server loop inside this block's fill.
bool filling_on_this_thread(const NodeBlock* block);

// Called by D_can's constructor, while the node is a plain D_can: notes the
// library's own virtual operations, which overrides_fill compares with.
void note_base_class(const D_can& node);
// Whether the node's class overrides can_fill or can_get: the loop then
// calls its can_fill with no lock held, instead of filling the buffer
// itself under the block lock. (A fill through an override of can_get
// takes with no lock held, into a buffer of its own.)
bool overrides_fill(const D_can& node);
bool overrides_get(const D_can& node);

// The frames of a node taken by one SDO transfer or poll: while a taker
// lives, the fills of the node's block take only the frames kept aside, and
// the taker keeps there, in order, every frame it takes and does not use.
// For a node without block the frames are counted as dropped.
class FrameTaker {
 public:
  explicit FrameTaker(D_can& node);
  ~FrameTaker();
  FrameTaker(const FrameTaker&) = delete;
  FrameTaker& operator=(const FrameTaker&) = delete;
  void keep(const CMSG* frames, int n);

 private:
  D_can& node_;
  NodeBlock* block_ = nullptr;
};

// The registered masters' blocks in order of registration. Changed under
// D_can::mx_loop; the server loop reads a copy that it renews when the
// version moved (a block it still holds is never freed, and its `polled`
// flag, under the block's lock, tells whether it is still registered).
struct Registry {
  std::vector<NodeBlock*> blocks;
  std::atomic<uint64_t> version{1};
};
Registry& registry();

// The node's status word and frame count are written by the polling thread
// and by the device code's receive calls: they are accessed atomically.
inline void store_word(int* p, int v) { __atomic_store_n(p, v, __ATOMIC_RELAXED); }
inline int load_word(const int* p) { return __atomic_load_n(p, __ATOMIC_RELAXED); }

// D_can::mx_loop. A 5 ms pause that a node's close asks for (see
// pause_after_close) is made after the lock is released.
class LoopLock {
 public:
  LoopLock();
  ~LoopLock();
  LoopLock(const LoopLock&) = delete;
  LoopLock& operator=(const LoopLock&) = delete;
  // Release and take the lock again around a call that can block.
  void unlock();
  void lock();
  // A thread ended an open made with the lock released (D_can::opening_),
  // and the wait for that (lock held, released while waiting).
  void notify_opened();
  void wait_opened();

 private:
  std::unique_lock<std::mutex> lk_;
};
// Under D_can::mx_loop: the 5 ms pause after closing a node's handle, made
// once the lock is released.
void pause_after_close();

// One driver call on a node's handle: entered while the guard lives (a close
// meanwhile marks it closed and leaves the handle to the guard to close).
// False when the node has no usable handle; the caller answers 77.
class HandleUse {
 public:
  explicit HandleUse(const D_can& node);
  explicit operator bool() const { return static_cast<bool>(use_); }
  NTCAN_HANDLE handle() const { return use_.handle(); }
  bool closed_meanwhile() const { return use_.closed_meanwhile(); }

 private:
  OpeningUse use_;
};

// A fill of a block under its lock, from its master's handle: the frames
// kept aside first, then the driver's (unless a transfer takes the node's
// frames now). Returns the status; the block's count and status are set.
int fill_locked(NodeBlock& b);

}  // namespace vorbel

#endif  // VORBEL_NODE_REGISTRY_H
