// The table of open handles: see openings.h.
#include "line/openings.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <vector>

#include "line/line_log.h"

namespace vorbel {

namespace openings {
std::atomic<Slot*> chunks[kChunks] = {};
}  // namespace openings

namespace {

using namespace openings;
using Opening = Slot;

// Chunks are added and free slots kept under `mx`.
struct Table {
  std::mutex mx;
  std::vector<uint32_t> free;  // slot indices
  uint32_t used = 0;           // slots handed out so far
};

Table& table() {
  static auto* t = new Table;  // never released: refs outlive every caller
  return *t;
}

// Closes the handle of a closed opening that only the caller holds, and
// frees the slot. Returns the driver's status (logged when it failed).
int close_unused(Opening& o, uint32_t index) {
  const int status = canClose(o.handle);
  if (status != NTCAN_SUCCESS) log(o.origin.load(), status_text(status));
  const uint64_t word = o.state.load(std::memory_order_relaxed);
  o.state.store((uint64_t{generation_of(word) + 1} << 32) | kClosed, std::memory_order_release);
  Table& t = table();
  std::lock_guard<std::mutex> lk(t.mx);
  t.free.push_back(index);
  return status;
}

// Leaves an opening entered before; the last one out of a closed opening
// closes its handle.
void leave(OpeningRef ref) {
  Opening& o = slot_at(index_of(ref));
  const uint64_t now = o.state.fetch_sub(1, std::memory_order_acq_rel) - 1;
  // Closed meanwhile and nobody else in (the closer has left): no call can
  // enter a closed opening, so the slot is this caller's to close and free.
  if ((now & kClosed) && (now & kUsers) == 0) close_unused(o, index_of(ref));
}

// Enters the opening unless it is closed or another generation; with
// `closing`, marks it closed in the same step.
bool enter(OpeningRef ref, bool closing) {
  if (ref == 0) return false;
  Opening& o = slot_at(index_of(ref));
  uint64_t word = o.state.load(std::memory_order_acquire);
  for (;;) {
    if (generation_of(word) != generation_of_ref(ref) || (word & kClosed)) return false;
    const uint64_t next = (word + 1) | (closing ? kClosed : 0);
    if (o.state.compare_exchange_weak(word, next, std::memory_order_acq_rel, std::memory_order_acquire)) return true;
  }
}

}  // namespace

OpeningRef keep_opening(NTCAN_HANDLE handle) {
  Table& t = table();
  uint32_t index = 0;
  {
    std::lock_guard<std::mutex> lk(t.mx);
    if (!t.free.empty()) {
      index = t.free.back();
      t.free.pop_back();
    } else {
      index = t.used++;
      if (index % kChunk == 0) chunks[index / kChunk].store(new Opening[kChunk], std::memory_order_release);
    }
  }
  Opening& o = slot_at(index);
  const uint32_t generation = generation_of(o.state.load(std::memory_order_relaxed));
  o.handle = handle;
  o.state.store(uint64_t{generation} << 32, std::memory_order_release);
  return (uint64_t{index + 1} << 32) | generation;
}

int close_openings(const OpeningRef* refs, size_t count, const char* origin, bool* first_closed) {
  // Each closer enters as it marks an opening closed, so that no call that
  // leaves meanwhile closes the handle before the fills have finished.
  std::vector<OpeningRef> marked;
  marked.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    const bool open = enter(refs[i], true);
    if (i == 0 && first_closed) *first_closed = open;
    if (open) {
      slot_at(index_of(refs[i])).origin.store(origin);
      marked.push_back(refs[i]);
    }
  }
  if (marked.empty()) return 0;
  std::vector<OpeningRef> sorted = marked;
  std::sort(sorted.begin(), sorted.end());
  let_fills_finish(sorted.data(), sorted.size());
  int first_status = 0;
  for (OpeningRef ref : marked) {
    Opening& o = slot_at(index_of(ref));
    // Nobody else in: closed here, to report the driver's status. Others are
    // kept out by the closed flag.
    if ((o.state.load(std::memory_order_acquire) & kUsers) == 1) {
      const int status = close_unused(o, index_of(ref));
      if (ref == refs[0]) first_status = status;
    } else {
      leave(ref);
    }
  }
  return first_status;
}

namespace {
thread_local OpeningRef t_held_ref __attribute__((tls_model("initial-exec"))) = 0;
thread_local NTCAN_HANDLE t_held_handle __attribute__((tls_model("initial-exec"))) = -1;
}  // namespace

OpeningUse::OpeningUse(OpeningRef ref) {
  if (ref != 0 && ref == t_held_ref) {
    if (!opening_open(ref)) return;
    ref_ = ref;
    handle_ = t_held_handle;
    held_ = true;
    return;
  }
  if (!enter(ref, false)) return;
  ref_ = ref;
  handle_ = slot_at(index_of(ref)).handle;
}

OpeningUse::~OpeningUse() {
  if (ref_ && !held_) leave(ref_);
}

OpeningHold::OpeningHold(OpeningRef ref) : outer_ref_(t_held_ref), outer_handle_(t_held_handle) {
  if (!enter(ref, false)) return;
  ref_ = ref;
  t_held_ref = ref;
  t_held_handle = slot_at(index_of(ref)).handle;
}

OpeningHold::~OpeningHold() {
  if (!ref_) return;
  t_held_ref = outer_ref_;
  t_held_handle = outer_handle_;
  leave(ref_);
}

bool OpeningUse::closed_meanwhile() const {
  return ref_ != 0 && (slot_at(index_of(ref_)).state.load(std::memory_order_acquire) & kClosed);
}

}  // namespace vorbel
