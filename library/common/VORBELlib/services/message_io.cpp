// Frame I/O on a node's handle, polling for replies, remote requests, the
// server loop's fill of every registered node and the debug print.
#include <time.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <type_traits>
#include <vector>

#include "D_vorbel.h"
#include "line/line_log.h"
#include "node/node_registry.h"
#include "services/framework_time.h"
#include "services/node_id.h"

static_assert(std::is_same<int32_t, int>::value, "frame counts are passed as int");

namespace {

constexpr int kMaxData = 8;
constexpr uint8_t kRtr = 0x10;
constexpr int kPollAttempts = 50;
constexpr int kPollBatch = 10;
constexpr long kPollSleepNs = 5000000;  // 5 ms
constexpr int kNoReply = 32;
constexpr unsigned long kPrintFramesBit = 0x100000;

// Data bytes a frame carries: the low four bits of its length byte, at most 8.
int data_length(const CMSG& m) {
  const int n = m.len & 0x0F;
  return n < kMaxData ? n : kMaxData;
}

bool valid_length(int length) { return length >= 0 && length <= kMaxData; }

// A frame of `length` data bytes (checked by the caller).
CMSG make_frame(int ident, int length, const unsigned char* data) {
  CMSG m{};
  m.id = ident;
  m.len = static_cast<uint8_t>(length);
  if (length > 0) std::memcpy(m.data, data, static_cast<size_t>(length));
  return m;
}

}  // namespace

// A node may use its handle while its line is open and still holds it;
// otherwise the operations answer 77 without calling the driver. A call
// enters the handle's opening for its length (see line/openings.h): a close
// meanwhile never waits for it, and what the call got after the close is
// dropped.

namespace vorbel {

namespace {

// The library's own virtual operations, noted while the first D_can is
// built: a node whose class leaves can_fill and can_get as they are is
// filled by the server loop itself (one lock, one driver call).
std::atomic<void* const*> g_base_vtable{nullptr};

void* const* vtable_of(const D_can& node) {
  void* const* vtable = nullptr;
  std::memcpy(&vtable, static_cast<const void*>(&node), sizeof vtable);
  return vtable;
}

// Itanium C++ ABI (x86): a pointer to a virtual member function holds one
// plus the byte offset of the function's slot in the class's table of
// virtual functions. Elsewhere every class counts as overriding.
template <class Pmf>
bool overrides(const D_can& node, Pmf pmf) {
#if defined(__GXX_ABI_VERSION) && (defined(__x86_64__) || defined(__i386__))
  struct Representation {
    uintptr_t ptr;
    ptrdiff_t adj;
  };
  static_assert(sizeof(Pmf) == sizeof(Representation), "member function pointers of the Itanium ABI");
  Representation rep;
  std::memcpy(&rep, &pmf, sizeof rep);
  void* const* base = g_base_vtable.load(std::memory_order_acquire);
  if (!(rep.ptr & 1) || !base) return true;
  const size_t slot = (rep.ptr - 1) / sizeof(void*);
  return vtable_of(node)[slot] != base[slot];
#else
  (void)node;
  (void)pmf;
  return true;
#endif
}

// The server loop's copy of the registry, renewed when the registry's
// version moved; one per thread that calls can_looping, read through an
// initial-exec thread-local pointer (no lookup call per pass).
struct LoopCache {
  Registry* registry = &vorbel::registry();  // looked up once, not per pass
  uint64_t version = 0;
  std::vector<NodeBlock*> blocks;
};
thread_local LoopCache* t_cache __attribute__((tls_model("initial-exec"))) = nullptr;
thread_local const NodeBlock* t_filling = nullptr;  // the block whose fill this thread is in
// The framework time of the pass of can_looping this thread is in: -1 until
// a fill asks for it, kNoPass outside a pass.
constexpr long long kNoPass = -2;
thread_local long long t_pass_ms __attribute__((tls_model("initial-exec"))) = kNoPass;

// Sets the pass's time aside while can_looping runs on this thread.
class PassTime {
 public:
  PassTime() : outer_(t_pass_ms) { t_pass_ms = -1; }
  ~PassTime() { t_pass_ms = outer_; }
  PassTime(const PassTime&) = delete;
  PassTime& operator=(const PassTime&) = delete;

 private:
  const long long outer_;
};

LoopCache& new_cache() {
  struct Owner {
    ~Owner() {
      delete t_cache;
      t_cache = nullptr;
    }
  };
  static thread_local Owner owner;
  (void)owner;
  t_cache = new LoopCache;
  return *t_cache;
}

// The loop inside a node's own can_fill (and can_print), with no lock held:
// the block is pinned, so that the node's removal waits for the call.
class Pin {
 public:
  explicit Pin(NodeBlock& b) : b_(b), outer_(t_filling) {
    ++b_.pins;  // under the block's lock
    t_filling = &b_;
  }
  ~Pin() {
    t_filling = outer_;
    leave_block(b_, &NodeBlock::pins);
  }
  Pin(const Pin&) = delete;
  Pin& operator=(const Pin&) = delete;

 private:
  NodeBlock& b_;
  const NodeBlock* outer_;
};

}  // namespace

void note_base_class(const D_can& node) {
  void* const* none = nullptr;
  g_base_vtable.compare_exchange_strong(none, vtable_of(node), std::memory_order_acq_rel);
}

bool overrides_get(const D_can& node) { return overrides(node, &D_can::can_get); }

bool overrides_fill(const D_can& node) { return overrides(node, &D_can::can_fill) || overrides_get(node); }

bool filling_on_this_thread(const NodeBlock* block) { return t_filling == block; }

long long fill_time_ms() {
  if (t_pass_ms == kNoPass) return framework_time_ms();
  if (t_pass_ms < 0) t_pass_ms = framework_time_ms();
  return t_pass_ms;
}

namespace {
// The fill itself, inlined into the server loop's pass (a call per node
// costs about as much as the rest of the loop's own work).
#if defined(__GNUC__)
__attribute__((always_inline))
#endif
inline int fill_block(NodeBlock& b) {
  count_fill(b);
  if (b.handle < 0) {
    store_word(&b.count, -1);
    store_word(&b.status, NTCAN_INVALID_HANDLE);
    return NTCAN_INVALID_HANDLE;
  }
  // Frames kept aside by a transfer or a poll are older than any waiting in
  // the driver; while one is taking, the driver's frames are its to take.
  const int kept = b.aside.size() > 0 ? b.aside.peek(b.frames, kRxBufferFrames) : 0;
  int32_t taken = 0;
  int status = NTCAN_SUCCESS;
  if (kept < kRxBufferFrames && b.takers == 0) {
    taken = kRxBufferFrames - kept;
    status = canTake(b.handle, b.frames + kept, &taken);
    if (status != NTCAN_SUCCESS) {
      store_word(&b.count, taken);
      store_word(&b.status, status);
      return status;
    }
  }
  if (kept > 0) b.aside.consume(kept);
  store_word(&b.count, kept + taken);
  store_word(&b.status, status);
  feed_consumers(b);
  return status;
}
}  // namespace

int fill_locked(NodeBlock& b) { return fill_block(b); }

FrameTaker::FrameTaker(D_can& node) : node_(node) {
  for (;;) {
    NodeBlock* b = node.block_.load(std::memory_order_acquire);
    if (!b) return;
    std::lock_guard<SpinLock> g(b->mx);
    // Still the node's: a block given up meanwhile may already serve another
    // master. While it counts a taker it is not handed out again.
    if (node.block_.load(std::memory_order_acquire) != b) continue;
    ++b->takers;
    block_ = b;
    return;
  }
}

FrameTaker::~FrameTaker() {
  if (block_) leave_block(*block_, &NodeBlock::takers);
}

void FrameTaker::keep(const CMSG* frames, int n) {
  if (n <= 0) return;
  if (!block_) {
    node_.own_dropped_ += static_cast<uint64_t>(n);
    return;
  }
  std::lock_guard<SpinLock> g(block_->mx);
  if (const int lost = block_->aside.push(frames, n)) block_->dropped += static_cast<uint64_t>(lost);
}

}  // namespace vorbel

namespace {

// A fill through a device class's can_get (or on behalf of a can_fill
// override that calls the library's): the take runs with no lock held, into
// a buffer of its own, and joins the frames kept aside under the lock.
int fill_through_override(D_can& node, vorbel::NodeBlock& b) {
  CMSG taken[vorbel::kRxBufferFrames];
  bool taking = false;
  {
    std::lock_guard<vorbel::SpinLock> g(b.mx);
    taking = b.takers > 0;
  }
  int32_t n = vorbel::kRxBufferFrames;
  int status = NTCAN_SUCCESS;
  if (!taking) {
    status = node.can_get(taken, &n);
  } else if (vorbel::HandleUse(node)) {
    n = 0;  // a transfer or poll takes the node's frames now
  } else {
    n = -1;
    status = NTCAN_INVALID_HANDLE;
  }
  std::lock_guard<vorbel::SpinLock> g(b.mx);
  vorbel::count_fill(b);
  if (status != NTCAN_SUCCESS || n < 0) {
    vorbel::store_word(&b.count, n);
    vorbel::store_word(&b.status, status);
    return status;
  }
  const int kept = b.aside.peek(b.frames, vorbel::kRxBufferFrames);
  b.aside.consume(kept);
  const int fit = n < vorbel::kRxBufferFrames - kept ? n : vorbel::kRxBufferFrames - kept;
  std::memcpy(b.frames + kept, taken, sizeof(CMSG) * static_cast<size_t>(fit));
  // What the buffer cannot take waits for the next fill, behind the rest.
  if (n > fit) {
    if (const int lost = b.aside.push(taken + fit, n - fit)) b.dropped += static_cast<uint64_t>(lost);
  }
  vorbel::store_word(&b.count, kept + fit);
  vorbel::store_word(&b.status, status);
  vorbel::feed_consumers(b);
  return status;
}

}  // namespace

void D_can::record_status(int status) {
  if (vorbel::NodeBlock* b = block_.load(std::memory_order_acquire)) vorbel::store_word(&b->status, status);
}

int D_can::can_write(int ident, int length, unsigned char* Data) {
  if (!valid_length(length) || (length > 0 && !Data)) return NTCAN_INVALID_PARAMETER;
  CMSG m = make_frame(ident, length, Data);
  vorbel::HandleUse use(*this);
  if (!use) return NTCAN_INVALID_HANDLE;
  int32_t count = 1;
  return canSend(use.handle(), &m, &count);
}

int D_can::can_read(CMSG* rxmsg, int* length) {
  if (!rxmsg || !length) return NTCAN_INVALID_PARAMETER;
  int32_t room = *length;
  *length = -1;
  int ret = NTCAN_INVALID_HANDLE;
  {
    vorbel::HandleUse use(*this);
    if (!use) return ret;
    ret = canRead(use.handle(), rxmsg, &room, nullptr);
    // Closed while the read waited: what it got belongs to a handle that is
    // gone, and its caller must not take it for the node's.
    if (use.closed_meanwhile()) return NTCAN_INVALID_HANDLE;
  }
  *length = room;
  record_status(ret);
  return ret;
}

int D_can::can_get(CMSG* rxmsg, int* length) {
  if (!rxmsg || !length) return NTCAN_INVALID_PARAMETER;
  int32_t room = *length;
  *length = -1;
  int ret = NTCAN_INVALID_HANDLE;
  {
    vorbel::HandleUse use(*this);
    if (!use) return ret;
    ret = canTake(use.handle(), rxmsg, &room);
  }
  *length = room;
  record_status(ret);
  return ret;
}

int D_can::can_poll(int* ident, int* length, unsigned char* Data) {
  // Data also receives the reply, so it is needed whatever the request's length.
  if (!ident || !length || !Data || !valid_length(*length)) return NTCAN_INVALID_PARAMETER;
  CMSG request = make_frame(*ident, *length, Data);
  // From before the request on, the node's frames are this poll's to take:
  // the server loop's fills get the others from it, in order.
  vorbel::FrameTaker taker(*this);
  {
    vorbel::HandleUse use(*this);
    if (!use) return NTCAN_INVALID_HANDLE;
    int32_t count = 1;
    const int sent = canSend(use.handle(), &request, &count);
    if (sent != NTCAN_SUCCESS) return sent;
  }

  CMSG batch[kPollBatch];
  for (int attempt = 0; attempt < kPollAttempts; ++attempt) {
    const timespec pause{0, kPollSleepNs};
    nanosleep(&pause, nullptr);
    int32_t n = kPollBatch;
    {
      vorbel::HandleUse use(*this);
      if (!use || canTake(use.handle(), batch, &n) != NTCAN_SUCCESS || n < 1 || use.closed_meanwhile()) continue;
    }
    for (int i = 0; i < n; ++i) {
      const CMSG& m = batch[i];
      // The SDO multiplexer (index and subindex) ties a reply to its request.
      if (std::memcmp(&m.data[1], &request.data[1], 3) != 0) continue;
      taker.keep(batch, i);
      taker.keep(batch + i + 1, n - i - 1);
      *ident = m.id;
      *length = m.len;
      std::memcpy(Data, m.data, static_cast<size_t>(data_length(m)));
      record_status(0);
      return 0;
    }
    taker.keep(batch, n);
  }
  record_status(kNoReply);
  return kNoReply;
}

int D_can::can_fill() {
  vorbel::NodeBlock* b = block_.load(std::memory_order_acquire);
  if (!b) return -1;
  if (vorbel::overrides_get(*this)) return fill_through_override(*this, *b);
  std::lock_guard<vorbel::SpinLock> g(b->mx);
  return vorbel::fill_locked(*b);
}

int D_can::can_array(CMSG* rxmsg, int* length) {
  if (!vorbel::opening_open(usable_ref())) return -1;
  if (!rxmsg || !length) return NTCAN_INVALID_PARAMETER;
  vorbel::NodeBlock* b = block_.load(std::memory_order_acquire);
  if (!b) return -1;
  // Under the block's lock, so that the copy never meets a fill half-way.
  std::lock_guard<vorbel::SpinLock> g(b->mx);
  const int n = vorbel::load_word(&b->count);
  if (n >= 0) {
    const int copied = n < vorbel::kRxBufferFrames ? n : vorbel::kRxBufferFrames;
    std::memcpy(rxmsg, b->frames, sizeof(CMSG) * static_cast<size_t>(copied));
    *length = copied;
  } else {
    *length = 0;
  }
  // Which fill this is, so that supervise takes it once for master and followers.
  alive_->batch_fill_ = b->fills;
  return vorbel::load_word(&b->status);
}

int D_can::can_return() {
  const vorbel::NodeBlock* b = block_.load(std::memory_order_acquire);
  return b ? vorbel::load_word(&b->status) : 0;
}

namespace {
int send_rtr(const D_can& node, int ident, int len_byte) {
  CMSG m{};
  m.id = ident;
  m.len = static_cast<uint8_t>(len_byte);
  vorbel::HandleUse use(node);
  if (!use) return NTCAN_INVALID_HANDLE;
  int32_t count = 1;
  return canSend(use.handle(), &m, &count);
}
}  // namespace

int D_can::rtr(int* ident) {
  if (!ident) return NTCAN_INVALID_PARAMETER;
  return send_rtr(*this, *ident, kRtr);
}

int D_can::rtr(int* ident, int l) {
  if (!ident) return NTCAN_INVALID_PARAMETER;
  return send_rtr(*this, *ident, (l | kRtr) & 0xFF);
}

int D_can::rtr() {
  const int node_id = current_node_id();
  if (const int refused = check_node_id(node_id, 1, vorbel::kGuardingService, "D_can::rtr")) return refused;
  return send_rtr(*this, 0x700 + node_id, kRtr);
}

void D_can::can_print() {
  {
    vorbel::LoopLock lk;
    const IIII* sel = canIdent_debug_ ? canIdent_debug_->value() : nullptr;
    if (!sel || sel->i1_data != canIdent_.i1_data || sel->i2_data != canIdent_.i2_data ||
        sel->i3_data != canIdent_.i3_data)
      return;
  }
  vorbel::NodeBlock* b = block_.load(std::memory_order_acquire);
  if (!b) return;
  // The frames are copied under the block's lock and logged after it.
  CMSG frames[vorbel::kRxBufferFrames];
  int n = 0;
  {
    std::lock_guard<vorbel::SpinLock> g(b->mx);
    n = vorbel::load_word(&b->count);
    if (n > vorbel::kRxBufferFrames) n = vorbel::kRxBufferFrames;
    if (n > 0) std::memcpy(frames, b->frames, sizeof(CMSG) * static_cast<size_t>(n));
  }
  for (int i = 0; i < n; ++i) {
    const CMSG& m = frames[i];
    if (m.id == 0) continue;
    char data[kMaxData * 3 + 1] = "";
    for (int k = 0; k < data_length(m); ++k) std::snprintf(data + 3 * k, 4, " %02X", m.data[k]);
    char line[200];
    std::snprintf(line, sizeof line, "ID: %X, Len: %d, Data:%s", static_cast<unsigned>(m.id), m.len, data);
    vorbel::log("can_print", line);
  }
}

int can_looping() {
  vorbel::LoopCache* cache = vorbel::t_cache;
  if (!cache) cache = &vorbel::new_cache();
  vorbel::Registry& r = *cache->registry;
  // A copy that is out of date is still safe to walk (blocks are never
  // freed, and each tells whether it is still registered): the loop renews
  // it when the registry lock is free, and never waits for it.
  if (cache->version != r.version.load(std::memory_order_acquire) && D_can::mx_loop.try_lock()) {
    cache->blocks = r.blocks;
    cache->version = r.version.load(std::memory_order_relaxed);
    D_can::mx_loop.unlock();
  }
  const bool print = (TELVO_debug & kPrintFramesBit) != 0;
  vorbel::PassTime pass_time;
  vorbel::NodeBlock* const* next = cache->blocks.data();
  vorbel::NodeBlock* const* const end = next + cache->blocks.size();
  while (next != end) {
    vorbel::NodeBlock* b = *next++;
    // The next node's lock and counts, fetched while this node fills.
    if (next != end) __builtin_prefetch(*next, 1);
    b->mx.lock();
    // Taken out of the registry since the copy was made.
    if (!b->polled) {
      b->mx.unlock();
      continue;
    }
    if (b->plain && !print) {
      vorbel::fill_block(*b);
      b->mx.unlock();
      continue;
    }
    // A device class's fill, or the debug print: called with no lock held.
    D_can* node = b->master;
    vorbel::Pin pin(*b);
    b->mx.unlock();
    node->can_fill();
    if (print) node->can_print();
  }
  return 0;
}
