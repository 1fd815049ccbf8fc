// The manual framework clock: minutes of pauses in microseconds, exactly.
// (A test thread's own pauses moving time, and the query tick, carry every
// bus test and the SDO time-outs.)
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "telvo.h"
#include "telvo_clock.h"

TEST(ManualClock, ASleeperWakesOnlyWhenTimePassesItsDeadline) {
  telvo::ManualClock& clk = telvo::install_manual_clock();
  const long t0 = TELVOtime();
  std::mutex mx;
  std::vector<long> wakes;
  std::atomic<bool> stop{false};
  std::thread t([&] {
    TELVOsleep(60, 0);
    {
      std::lock_guard<std::mutex> lk(mx);
      wakes.push_back(TELVOtime() - t0);
    }
    while (!stop) {
      TELVOsleep(1, 0);
      std::lock_guard<std::mutex> lk(mx);
      wakes.push_back(TELVOtime() - t0);
    }
  });
  ASSERT_TRUE(clk.wait_for_sleepers(1));
  clk.advance(std::chrono::seconds(59));
  {
    std::lock_guard<std::mutex> lk(mx);
    EXPECT_TRUE(wakes.empty());
  }
  clk.advance(std::chrono::seconds(1));
  {
    std::lock_guard<std::mutex> lk(mx);
    EXPECT_EQ(wakes, std::vector<long>{60}) << "advance returns after the woken thread slept again";
  }
  // One advance over several deadlines wakes the thread at each of them.
  clk.advance(std::chrono::milliseconds(3500));
  {
    std::lock_guard<std::mutex> lk(mx);
    EXPECT_EQ(wakes, (std::vector<long>{60, 61, 62, 63}));
  }
  stop = true;
  clk.advance(std::chrono::seconds(1));
  t.join();
}
