// The handles the library holds open, and how a handle is closed without
// waiting for a call in progress on it. Internal to the library.
//
// Every driver handle the library opens gets an opening: a slot of a table
// that lives for the process, with the handle number and one state word
// (generation, closed flag, calls in progress). An opening is named by a ref
// (slot and generation), so a ref of a handle that was closed never names the
// slot's next handle.
//
// A driver call on a handle enters the opening (one atomic step that fails
// once the opening is closed), calls the driver with no lock held, and leaves
// it. Closing marks the opening closed at once, so that no call enters it
// any more, and the handle is closed by whoever leaves it last: the closer
// when no call is in progress, else the call that comes back last (a read
// blocked in the driver, an open, a status query). The closer never waits,
// and a handle number is never passed to the driver after its close, even
// when the driver hands the same number out again.
//
// The server loop's fill does not enter: it checks the opening under its
// node's block lock (see node_registry.h), and a close passes every block
// lock once after marking the opening closed, so that a fill that saw it
// open has finished before the handle can be closed.
#ifndef VORBEL_OPENINGS_H
#define VORBEL_OPENINGS_H

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "ntcan.h"

namespace vorbel {

// Slot index + 1 in the high 32 bits, generation in the low 32; 0: none.
using OpeningRef = uint64_t;

namespace openings {
constexpr uint64_t kClosed = uint64_t{1} << 31;
constexpr uint64_t kUsers = kClosed - 1;
constexpr size_t kChunk = 256;
constexpr size_t kChunks = 4096;  // a million handles open at once

struct Slot {
  std::atomic<uint64_t> state{kClosed};  // generation << 32 | closed | calls in progress
  NTCAN_HANDLE handle = -1;              // set before the opening is published
  std::atomic<const char*> origin{nullptr};
};

// The slots, in chunks that are made when needed and never freed or moved,
// so that a ref may always be looked at.
extern std::atomic<Slot*> chunks[kChunks];

inline uint32_t index_of(OpeningRef ref) { return static_cast<uint32_t>(ref >> 32) - 1; }
inline uint32_t generation_of_ref(OpeningRef ref) { return static_cast<uint32_t>(ref); }
inline uint32_t generation_of(uint64_t word) { return static_cast<uint32_t>(word >> 32); }
inline Slot& slot_at(uint32_t index) { return chunks[index / kChunk].load(std::memory_order_acquire)[index % kChunk]; }
}  // namespace openings

// Takes a slot for a handle just opened (the caller owns the close).
OpeningRef keep_opening(NTCAN_HANDLE handle);

// Whether the opening is still open (a plain load: for the fill, which
// relies on the block lock, and for checks that only report).
inline bool opening_open(OpeningRef ref) {
  if (ref == 0) return false;
  const uint64_t word = openings::slot_at(openings::index_of(ref)).state.load(std::memory_order_acquire);
  return openings::generation_of(word) == openings::generation_of_ref(ref) && !(word & openings::kClosed);
}

// The handle of an opening the caller has entered or checked open under a
// block lock.
inline NTCAN_HANDLE opening_handle(OpeningRef ref) { return openings::slot_at(openings::index_of(ref)).handle; }

// Marks the openings closed, lets every fill that may still use them
// finish, and closes each handle unless a call is in progress on it (then
// that call closes it when it comes back). A failed close is logged under
// `origin`. Returns the status of the first opening's canClose when it ran
// here, else 0; *first_closed tells whether the first opening was open.
int close_openings(const OpeningRef* refs, size_t count, const char* origin, bool* first_closed = nullptr);

// One driver call on an opening: open while the guard lives, closed (if a
// close came meanwhile) when it goes.
class OpeningUse {
 public:
  explicit OpeningUse(OpeningRef ref);
  ~OpeningUse();
  OpeningUse(const OpeningUse&) = delete;
  OpeningUse& operator=(const OpeningUse&) = delete;
  explicit operator bool() const { return ref_ != 0; }
  NTCAN_HANDLE handle() const { return handle_; }
  // Whether a close came while the call was in progress: what the call got
  // belongs to a handle that is gone.
  bool closed_meanwhile() const;

 private:
  OpeningRef ref_ = 0;
  NTCAN_HANDLE handle_ = -1;
  bool held_ = false;  // entered by an OpeningHold of this thread
};

// Called by close_openings after marking openings closed: passes every
// block lock once, leaving the blocks that filled from one of `refs`
// (sorted) without a handle (node_init.cpp).
void let_fills_finish(const OpeningRef* refs, size_t count);

// Keeps an opening entered for the calling thread while it lives (an SDO
// transfer's driver calls): an OpeningUse of it on this thread then needs
// no atomic step of its own, only a look at whether it was closed.
class OpeningHold {
 public:
  explicit OpeningHold(OpeningRef ref);
  ~OpeningHold();
  OpeningHold(const OpeningHold&) = delete;
  OpeningHold& operator=(const OpeningHold&) = delete;

 private:
  OpeningRef ref_ = 0;
  OpeningRef outer_ref_;
  NTCAN_HANDLE outer_handle_;
};

}  // namespace vorbel

#endif  // VORBEL_OPENINGS_H
