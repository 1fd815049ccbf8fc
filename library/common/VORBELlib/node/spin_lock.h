// The lock of a node's block. Internal to the library.
#ifndef VORBEL_SPIN_LOCK_H
#define VORBEL_SPIN_LOCK_H

#include <atomic>

namespace vorbel {

// A lock for critical sections of a few dozen nanoseconds that are never
// held across a call that can block: taking it free is one atomic exchange
// and giving it back a plain store, without a call into the C library. (The
// server loop takes one per node and pass, where a mutex's two atomic
// operations and two calls would double the cost of the driver's take.) A
// thread that finds it taken spins briefly, then yields its core, then
// naps, so that a holder that lost its core gets it back.
class SpinLock {
 public:
  void lock() {
    if (!taken_.exchange(true, std::memory_order_acquire)) return;
    wait();
  }
  bool try_lock() {
    return !taken_.load(std::memory_order_relaxed) && !taken_.exchange(true, std::memory_order_acquire);
  }
  void unlock() { taken_.store(false, std::memory_order_release); }

 private:
  void wait();
  std::atomic<bool> taken_{false};
};

}  // namespace vorbel

#endif  // VORBEL_SPIN_LOCK_H
