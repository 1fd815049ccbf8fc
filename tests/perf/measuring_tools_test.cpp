// The tools the benchmarks and these tests measure with: the counting
// allocator sees every allocation of its thread and only those, the
// StepClock runs each parked thread exactly one pass per step and charges it
// the allocations of that pass.
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "perf_fixture.h"

using vorbel_bench::allocations_in_process;
using vorbel_bench::allocations_on_this_thread;

namespace {
// Stores a pointer where the compiler must assume it is read, so that a new
// followed by a delete is not optimised away. Several threads store into it.
std::atomic<void*> g_escape{nullptr};
template <class T>
void allocate_and_free(T* p) {
  g_escape = p;
  delete p;
}
template <class T>
void allocate_and_free_array(T* p) {
  g_escape = p;
  delete[] p;
}
}  // namespace

TEST(CountingAllocator, CountsEveryFormOfNewOnTheCallingThreadOnly) {
  long before = allocations_on_this_thread();
  allocate_and_free(new int(1));
  allocate_and_free_array(new char[3]);
  allocate_and_free(new (std::nothrow) int(2));
  struct alignas(64) Wide {
    char c[64];
  };
  allocate_and_free(new Wide);
  EXPECT_EQ(allocations_on_this_thread() - before, 4);

  before = allocations_on_this_thread();
  const long process_before = allocations_in_process();
  std::thread t([] {
    std::vector<int> v(100);
    (void)v;
  });
  t.join();
  EXPECT_LE(allocations_on_this_thread() - before, 1) << "at most the thread's start-up block, not its vector";
  EXPECT_GE(allocations_in_process() - process_before, 2) << "the other thread's vector counts in the process";
}

TEST_F(PerfTest, AStepRunsEachParkedThreadOnePassAndCountsItsAllocations) {
  std::atomic<bool> stop{false};
  std::atomic<int> passes[3] = {{0}, {0}, {0}};
  std::vector<std::thread> threads;
  for (int i = 0; i < 3; ++i) {
    threads.emplace_back([&, i] {
      TELVOsleep(60, 0);
      while (!stop) {
        // Pass i allocates i + 1 times.
        for (int k = 0; k <= i; ++k) allocate_and_free(new int(k));
        ++passes[i];
        TELVOsleep(1, 0);
      }
    });
  }
  ASSERT_TRUE(clock_->wait_for_sleepers(3));
  TELVOsleep(3600, 0);  // the test thread's own pauses do not wait
  for (int step = 1; step <= 2; ++step) {
    const auto s = clock_->step();
    ASSERT_TRUE(s.complete);
    EXPECT_EQ(s.threads, 3u);
    EXPECT_EQ(s.allocations, 1 + 2 + 3);
    for (auto& p : passes) EXPECT_EQ(p.load(), step);
  }
  stop = true;
  clock_->step(std::chrono::milliseconds(0));  // the threads end instead of pausing again
  for (auto& t : threads) t.join();
}
