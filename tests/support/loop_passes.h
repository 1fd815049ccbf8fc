// Times of the server loop's passes, for tests that show the loop does not
// wait while other threads block.
#ifndef VORBEL_LOOP_PASSES_H
#define VORBEL_LOOP_PASSES_H

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "D_vorbel.h"

namespace testsupport {

class LoopPasses {
 public:
  // One pass of can_looping, timed; a pass during which the scheduler took
  // the thread off its core (an involuntary context switch) is only counted
  // in worst().
  void pass() {
    const long switches = involuntary_switches();
    const auto t0 = std::chrono::steady_clock::now();
    can_looping();
    const long long us =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0).count();
    worst_ = std::max(worst_, us);
    if (involuntary_switches() == switches) unpreempted_.push_back(us);
  }
  size_t measured() const { return unpreempted_.size(); }
  // The 99th percentile of the passes that kept their core, in us.
  long long p99() {
    if (unpreempted_.empty()) return 0;
    std::sort(unpreempted_.begin(), unpreempted_.end());
    return unpreempted_[unpreempted_.size() * 99 / 100];
  }
  long long worst() const { return worst_; }

  // What a pass that waits for nothing may take: 1 ms, or three times what
  // `passes` passes took with nothing else going on, when that is more. A
  // sanitizer's build, whose every lock and atomic step costs many times
  // more (a quiet pass over a hundred nodes takes half a millisecond under
  // ThreadSanitizer, and the other threads' brief holds of the same locks
  // grow alike), gets ten times.
  static long long bound_us(int passes = 200) {
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
    constexpr long long kFactor = 10;
#else
    constexpr long long kFactor = 3;
#endif
    LoopPasses quiet;
    for (int i = 0; i < passes; ++i) quiet.pass();
    return std::max(1000LL, kFactor * quiet.p99());
  }

 private:
  static long involuntary_switches() {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return usage.ru_nivcsw;
  }
  std::vector<long long> unpreempted_;
  long long worst_ = 0;
};

}  // namespace testsupport

#endif  // VORBEL_LOOP_PASSES_H
