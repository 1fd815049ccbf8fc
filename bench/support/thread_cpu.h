// CPU time of the calling thread, for benchmarks and tests that show a path
// sleeps instead of spinning.
#ifndef VORBEL_BENCH_THREAD_CPU_H
#define VORBEL_BENCH_THREAD_CPU_H

#include <time.h>

namespace vorbel_bench {

// Seconds of CPU the calling thread has used.
inline double thread_cpu_s() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

}  // namespace vorbel_bench

#endif  // VORBEL_BENCH_THREAD_CPU_H
