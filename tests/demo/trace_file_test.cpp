// The simulated driver's trace file: one candump log line per frame put on
// any net, written as the frame goes out.
#include <gtest/gtest.h>

#include <regex>

#include "ntcan_sim.h"
#include "test_support.h"

using ntcan_sim::make_frame;
using testsupport::read_file;

TEST(TraceFile, HasOneCandumpLogLinePerFrameOnAnyNetAndAppendsWhenAsked) {
  ntcan_sim::reset();
  testsupport::TempDir dir;
  const std::string path = dir.file("bus.log");
  ASSERT_TRUE(ntcan_sim::start_trace_file(path));
  ntcan_sim::inject(0, make_frame(0x123, {}));
  ntcan_sim::inject(0, make_frame(0x605, {0x40, 0x08, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00}));
  ntcan_sim::inject(1, ntcan_sim::make_rtr(0x705));
  ntcan_sim::inject(19, ntcan_sim::make_rtr(0x7FF, 3));
  NTCAN_HANDLE h = NTCAN_NO_HANDLE;
  ASSERT_EQ(canOpen(2, 0, 10, 10, 0, 0, &h), NTCAN_SUCCESS);
  CMSG sent = make_frame(0x0AB, {0x0F, 0xA0});
  int32_t count = 1;
  ASSERT_EQ(canSend(h, &sent, &count), NTCAN_SUCCESS);
  const auto traced = ntcan_sim::trace();
  ntcan_sim::set_trace_enabled(false);  // the file does not depend on the in-memory trace
  ntcan_sim::inject(0, make_frame(0x001, {0x01}));
  ASSERT_TRUE(ntcan_sim::stop_trace_file());

  const std::string stamp = R"(\(\d{10}\.\d{6}\) )";
  std::string lines;
  for (const char* tail : {"can0 123#", "can0 605#4008100000000000", "can1 705#R", "can19 7FF#R3", "can2 0AB#0FA0",
                           "can0 001#01"}) {
    lines += stamp + tail + "\n";
  }
  const std::string file = read_file(path);
  EXPECT_TRUE(std::regex_match(file, std::regex(lines))) << file;
  EXPECT_EQ(file.rfind(ntcan_sim::candump_line(traced.at(0)) + "\n", 0), 0u) << "the in-memory trace's time";
  ntcan_sim::TraceEntry early;
  early.time_us = 1234567;
  early.frame.net = 3;
  early.frame.msg = make_frame(0x5, {0xAB});
  EXPECT_EQ(ntcan_sim::candump_line(early), "(0000000001.234567) can3 005#AB");

  // Appending keeps what was there; starting another file finishes the one
  // being written; a file that cannot be made leaves none being written.
  ASSERT_TRUE(ntcan_sim::start_trace_file(path, true));
  ntcan_sim::inject(0, make_frame(0x002, {}));
  ASSERT_TRUE(ntcan_sim::start_trace_file(dir.file("second.log")));
  EXPECT_TRUE(std::regex_match(read_file(path), std::regex(lines + stamp + "can0 002#\n")));
  EXPECT_FALSE(ntcan_sim::start_trace_file(dir.file("no-such-dir/bus.log")));
  ntcan_sim::inject(0, make_frame(0x003, {}));
  EXPECT_TRUE(ntcan_sim::stop_trace_file());
  EXPECT_EQ(read_file(dir.file("second.log")), "");
}
