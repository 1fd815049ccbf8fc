// The heartbeat consumer of one node: what D_Alive::supervise keeps between
// batches. A master shares it with its followers (it lives in their block);
// a node without a block has one of its own. Internal to the library.
//
// Every field is atomic: the server loop's supervise, client reads through
// lost()/isalive() and device code's configuration run on different threads
// without a lock. Fields are read one by one; a reader may see one update
// half-done (a new heard time with the old state byte), never a torn value.
#ifndef VORBEL_SUPERVISION_H
#define VORBEL_SUPERVISION_H

#include <atomic>
#include <cstdint>

namespace vorbel {

struct Supervision {
  // Configuration, carried along when the node takes a block of its own.
  std::atomic<int> timeout_ms{0};            // 0: off
  std::atomic<bool> toggle_check{false};     // guarding answers must alternate bit 7
  // Framework ms when the time-out was set (or carried into this entry):
  // the wait for a node never heard starts there.
  std::atomic<int64_t> armed_ms{-1};
  std::atomic<int64_t> heard_ms{-1};         // last state frame taken; -1: none
  std::atomic<int> last_toggle{-1};          // bit 7 of the last guarding answer; -1: none
  std::atomic<bool> booted{false};           // a boot-up frame came, not yet read
  // The fill of the master's buffer whose state frames were taken last, and
  // whether its last state was operational: a follower's copy of the same
  // fill is not taken twice.
  std::atomic<uint32_t> applied_fill{0};
  std::atomic<bool> applied_operational{false};

  // Lost at `now`: a time-out is set and no state frame came within it of
  // framework time (counted from the last state frame, or, before the
  // first, from when the time-out was set).
  bool lost_at(int64_t now) const {
    const int timeout = timeout_ms.load(std::memory_order_relaxed);
    if (timeout <= 0) return false;
    const int64_t heard = heard_ms.load(std::memory_order_relaxed);
    const int64_t since = heard >= 0 ? heard : armed_ms.load(std::memory_order_relaxed);
    return since >= 0 && now - since >= timeout;
  }

  // Everything as `other` has it (a node leaving its block keeps its view).
  void copy_from(const Supervision& other) {
    carry_config(other, other.armed_ms.load());
    heard_ms = other.heard_ms.load();
    last_toggle = other.last_toggle.load();
    booted = other.booted.load();
    applied_fill = 0;
    applied_operational = false;
  }
  // A fresh entry with `other`'s configuration, armed at `now`.
  void carry_config(const Supervision& other, int64_t now) {
    timeout_ms = other.timeout_ms.load();
    toggle_check = other.toggle_check.load();
    armed_ms = now;
    heard_ms = -1;
    last_toggle = -1;
    booted = false;
    applied_fill = 0;
    applied_operational = false;
  }
};

}  // namespace vorbel

#endif  // VORBEL_SUPERVISION_H
