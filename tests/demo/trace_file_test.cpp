// The simulated driver's trace file: one candump log line per frame put on
// any net, written as the frame goes out.
#include <gtest/gtest.h>

#include <cinttypes>
#include <regex>
#include <sstream>
#include <thread>

#include "ntcan_sim.h"
#include "test_support.h"

using ntcan_sim::make_frame;
using ntcan_sim::make_rtr;

namespace {

std::vector<std::string> lines_of(const std::string& path) {
  std::vector<std::string> out;
  std::istringstream in(testsupport::read_file(path));
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

std::string stamp(int64_t time_us) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "(%010" PRId64 ".%06" PRId64 ")", time_us / 1000000, time_us % 1000000);
  return buf;
}

class TraceFileTest : public testing::Test {
 protected:
  void SetUp() override { ntcan_sim::reset(); }
  void TearDown() override { ntcan_sim::stop_trace_file(); }
  testsupport::TempDir dir_;
};

}  // namespace

TEST_F(TraceFileTest, EveryFrameOnEveryNetBecomesOneCandumpLogLine) {
  const std::string path = dir_.file("bus.log");
  ASSERT_TRUE(ntcan_sim::start_trace_file(path));
  ntcan_sim::inject(0, make_frame(0x123, {}));
  ntcan_sim::inject(0, make_frame(0x605, {0x40, 0x08, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00}));
  ntcan_sim::inject(1, make_rtr(0x705));
  ntcan_sim::inject(19, make_rtr(0x7FF, 3));
  NTCAN_HANDLE h = NTCAN_NO_HANDLE;
  ASSERT_EQ(canOpen(2, 0, 10, 10, 0, 0, &h), NTCAN_SUCCESS);
  CMSG sent = make_frame(0x0AB, {0x0F, 0xA0});
  int32_t count = 1;
  ASSERT_EQ(canSend(h, &sent, &count), NTCAN_SUCCESS);
  const auto traced = ntcan_sim::trace();
  // The file does not depend on the in-memory trace.
  ntcan_sim::set_trace_enabled(false);
  ntcan_sim::inject(0, make_frame(0x001, {0x01}));
  ASSERT_TRUE(ntcan_sim::stop_trace_file());

  const std::vector<std::string> tails = {"can0 123#",   "can0 605#4008100000000000", "can1 705#R",
                                          "can19 7FF#R3", "can2 0AB#0FA0",             "can0 001#01"};
  const auto lines = lines_of(path);
  ASSERT_EQ(lines.size(), tails.size());
  ASSERT_EQ(traced.size(), 5u);
  for (size_t i = 0; i < tails.size(); ++i) {
    if (i < traced.size()) {
      EXPECT_EQ(lines[i], stamp(traced[i].time_us) + " " + tails[i]);
    } else {
      EXPECT_TRUE(std::regex_match(lines[i], std::regex(R"(\(\d{10}\.\d{6}\) )" + tails[i])));
    }
  }

  // Seconds are padded to ten digits, microseconds to six.
  ntcan_sim::TraceEntry early;
  early.time_us = 1234567;
  early.frame.net = 3;
  early.frame.msg = make_frame(0x5, {0xAB});
  EXPECT_EQ(ntcan_sim::candump_line(early), "(0000000001.234567) can3 005#AB");
}

TEST_F(TraceFileTest, AnotherFileFinishesTheFirstAndAppendingKeepsWhatWasThere) {
  const std::string first = dir_.file("first.log"), second = dir_.file("second.log");
  ASSERT_TRUE(ntcan_sim::start_trace_file(first));
  ntcan_sim::inject(0, make_frame(0x001, {}));
  ASSERT_TRUE(ntcan_sim::start_trace_file(second));
  ntcan_sim::inject(0, make_frame(0x002, {}));
  EXPECT_EQ(lines_of(first).size(), 1u) << "written out when the second file started";
  ASSERT_TRUE(ntcan_sim::stop_trace_file());
  ASSERT_TRUE(ntcan_sim::start_trace_file(second, true));
  ntcan_sim::inject(0, make_frame(0x003, {}));
  ASSERT_TRUE(ntcan_sim::stop_trace_file());
  const auto lines = lines_of(second);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find(" 002#"), std::string::npos);
  EXPECT_NE(lines[1].find(" 003#"), std::string::npos);

  // A file that cannot be made: nothing is written, frames still go out.
  EXPECT_FALSE(ntcan_sim::start_trace_file(dir_.file("no-such-dir/bus.log")));
  ntcan_sim::inject(0, make_frame(0x004, {}));
  EXPECT_TRUE(ntcan_sim::stop_trace_file());
  EXPECT_EQ(lines_of(second).size(), 2u);
}

TEST_F(TraceFileTest, FramesSentFromManyThreadsAtOnceEachGetAWholeLineInTheirOrder) {
  const std::string path = dir_.file("bus.log");
  ASSERT_TRUE(ntcan_sim::start_trace_file(path));
  constexpr int kThreads = 4, kFrames = 500;
  std::vector<std::thread> senders;
  for (int t = 0; t < kThreads; ++t) {
    senders.emplace_back([t] {
      for (int i = 0; i < kFrames; ++i) {
        ntcan_sim::inject(t, make_frame(t, {static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)}));
      }
    });
  }
  for (auto& s : senders) s.join();
  ASSERT_TRUE(ntcan_sim::stop_trace_file());

  const auto lines = lines_of(path);
  ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kFrames));
  const std::regex line_re(R"(\(\d{10}\.\d{6}\) can([0-3]) 00([0-3])#([0-9A-F]{4}))");
  std::vector<int> next(kThreads, 0);
  for (const std::string& line : lines) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, line_re)) << line;
    const int net = std::stoi(m[1]);
    ASSERT_EQ(std::stoi(m[2]), net) << line;
    EXPECT_EQ(std::stoi(m[3], nullptr, 16), next[static_cast<size_t>(net)]++) << line;
  }
}
