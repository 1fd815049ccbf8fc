// A framework clock that runs the lines' supervision threads one cycle at a
// time, and counts what each cycle allocates.
//
// Two kinds of thread sleep on it:
//   - a thread that called run_pauses_at_once() (the benchmark or test thread
//     that sets nodes up): its pauses return at once, so the 5 ms pauses of
//     opening handles cost nothing;
//   - every other thread (in practice the supervision thread of each line):
//     its pause lasts until step() lets every sleeping thread go for one
//     pass. step() returns when each of them is back in a pause, with the
//     heap allocations they made between waking up and pausing again.
//
// Between steps the supervision threads are parked, so they add no noise to
// other measurements. The clock's own bookkeeping is a mutex, a condition
// variable and counters, and allocates nothing: whatever a step counts was
// allocated by the code that ran between two pauses. Time (now_us) is the
// real system clock.
#ifndef VORBEL_BENCH_STEP_CLOCK_H
#define VORBEL_BENCH_STEP_CLOCK_H

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "telvo_clock.h"

namespace vorbel_bench {

class StepClock : public telvo::Clock {
 public:
  struct Step {
    std::size_t threads = 0;  // threads let go
    long allocations = 0;     // made by them between waking and pausing again
    bool complete = false;    // every thread let go paused again in time
  };

  int64_t now_us() override;
  void sleep_us(int64_t us) override;

  // Pauses made on the calling thread from now on return at once.
  static void run_pauses_at_once();

  // Threads parked in a pause now.
  std::size_t sleepers();
  // Wait (real time) until at least n threads are parked.
  bool wait_for_sleepers(std::size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // Let every parked thread go for one pass and wait until each is parked
  // again.
  Step step(std::chrono::milliseconds timeout = std::chrono::seconds(5));

 private:
  std::mutex mx_;
  std::condition_variable cv_;
  uint64_t generation_ = 0;   // raised by each step
  std::size_t parked_ = 0;    // parked since the last step began
  std::size_t returned_ = 0;  // let go by the last step and parked again
  long step_allocations_ = 0;
};

// Create a StepClock that lives for the rest of the process (supervision
// threads sleep on it until the end), install it as the framework clock and
// return it.
StepClock& install_step_clock();

}  // namespace vorbel_bench

#endif  // VORBEL_BENCH_STEP_CLOCK_H
