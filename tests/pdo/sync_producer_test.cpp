// The SYNC producer on the manual framework clock: its schedule, counter,
// statistics and stops.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "D_vorbel.h"
#include "telvo_clock.h"

namespace {

class SyncProducerTest : public testing::Test {
 protected:
  // "time_us id#counter" of every frame sent, time counted from the test's start.
  std::vector<std::string> sent() {
    std::lock_guard<std::mutex> lk(mx_);
    return sent_;
  }
  void advance_ms(int ms) { clock_.advance(std::chrono::milliseconds(ms)); }

  telvo::ManualClock& clock_ = telvo::install_manual_clock();
  const long long t0_ = clock_.now_us();
  std::mutex mx_;
  std::vector<std::string> sent_;
  std::function<void(size_t)> on_send_ = [](size_t) {};  // runs after the n-th frame is recorded
  vorbel::SyncProducer sync_{[this](const CMSG& m) {
    char text[32];
    std::snprintf(text, sizeof text, "%lld %X#%s", clock_.now_us() - t0_, static_cast<unsigned>(m.id),
                  m.len ? std::to_string(m.data[0]).c_str() : "");
    size_t n = 0;
    {
      std::lock_guard<std::mutex> lk(mx_);
      sent_.push_back(text);
      n = sent_.size();
    }
    on_send_(n);
    return 0;
  }};
};

}  // namespace

TEST_F(SyncProducerTest, FramesComeEveryPeriodWithACounterRunningToItsOverflowValueAndARestartBeginsAnew) {
  ASSERT_EQ(sync_.start({10000, 3, 0x80}), 0);
  ASSERT_TRUE(clock_.wait_for_sleepers(1));
  advance_ms(70);
  EXPECT_EQ(sent(), (std::vector<std::string>{"10000 80#1", "20000 80#2", "30000 80#3", "40000 80#1", "50000 80#2",
                                              "60000 80#3", "70000 80#1"}));
  vorbel::SyncStats s = sync_.stats();
  EXPECT_EQ(s.sent, 7u);
  EXPECT_EQ(s.intervals, 6u);
  EXPECT_EQ(s.mean_interval_us, 10000);
  EXPECT_EQ(s.min_interval_us, 10000);
  EXPECT_EQ(s.max_interval_us, 10000);
  EXPECT_EQ(s.max_jitter_us + s.max_lateness_us + static_cast<long long>(s.skipped + s.failed), 0);

  // Without a counter, on another identifier, from now on.
  ASSERT_EQ(sync_.start({2500, 0, 0x81}), 0);
  ASSERT_TRUE(clock_.wait_for_sleepers(2));
  advance_ms(10);
  const std::vector<std::string> all = sent();
  const std::vector<std::string> after(all.begin() + 7, all.end());
  EXPECT_EQ(after, (std::vector<std::string>{"72500 81#", "75000 81#", "77500 81#", "80000 81#"}));
  EXPECT_EQ(sync_.stats().sent, 4u);

  sync_.stop();
  EXPECT_FALSE(sync_.running());
  advance_ms(100);
  EXPECT_EQ(sent().size(), 11u);
  EXPECT_EQ(sync_.stats().sent, 4u) << "kept after the stop";
}

TEST_F(SyncProducerTest, ALateWakeSkipsTheSyncsItMissedWithoutABurstAndAStopFromTheSendFunctionHolds) {
  on_send_ = [this](size_t n) {
    if (n == 2) TELVOsleep(0, 25000);  // the send blocks past the next deadline
    if (n == 6) sync_.stop();
  };
  ASSERT_EQ(sync_.start({10000, 0, 0x80}), 0);
  ASSERT_TRUE(clock_.wait_for_sleepers(1));
  advance_ms(200);
  EXPECT_EQ(sent(), (std::vector<std::string>{"10000 80#", "20000 80#", "45000 80#", "50000 80#", "60000 80#",
                                              "70000 80#"}));
  const vorbel::SyncStats s = sync_.stats();
  EXPECT_EQ(s.skipped, 1u);
  EXPECT_EQ(s.max_lateness_us, 5000);
  EXPECT_EQ(s.max_jitter_us, 15000);
  EXPECT_EQ(s.mean_interval_us, 12000);
  EXPECT_FALSE(sync_.running());
}

TEST(SyncProducer, SettingsOutsideTheirRangesAreRefusedAndNothingRuns) {
  const vorbel::SyncSettings bad[] = {{99, 0, 0x80},  {4294967296LL, 0, 0x80}, {1000, 1, 0x80}, {1000, 241, 0x80},
                                      {1000, -1, 0x80}, {1000, 0, 0},          {1000, 0, 0x800}};
  vorbel::SyncProducer p([](const CMSG&) { return 0; });
  for (const auto& s : bad) EXPECT_EQ(p.start(s), NTCAN_INVALID_PARAMETER) << s.period_us << " " << s.counter_overflow;
  EXPECT_FALSE(p.running());
  vorbel::SyncProducer without(nullptr);
  EXPECT_EQ(without.start({1000, 0, 0x80}), NTCAN_INVALID_PARAMETER);
}
