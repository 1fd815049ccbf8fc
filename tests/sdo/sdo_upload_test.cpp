// The SDO upload client against the simulated CANopen device, read as frame
// tables.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "device_fixture.h"
#include "frame_table.h"

using testsupport::frame_table;

namespace {

bool sdo(int32_t id) { return id == 0x605 || id == 0x585; }

using SdoTest = DeviceTest;

}  // namespace

TEST_F(SdoTest, AnExpeditedUploadIsOneRequestAndOneAnswer) {
  device_->set_object(0x2000, 1, "A");
  char buf[64];
  std::memset(buf, 'x', sizeof buf);
  EXPECT_EQ(node_->segSdoRead(5, 0x2000, 1, buf), 0);
  EXPECT_EQ(frame_table(0, sdo), (std::vector<std::string>{"-> 605: 40 00 20 01 00 00 00 00",
                                                           "<- 585: 4F 00 20 01 41 00 00 00"}));
  EXPECT_EQ(buf[0], 'A');
  EXPECT_EQ(buf[1], '\0');
  EXPECT_EQ(buf[2], 'x');

  ntcan_sim::clear_trace();
  device_->set_object(0x2000, 2, "WXYZ");
  EXPECT_EQ(node_->segSdoRead(5, 0x2000, 2, buf), 0);
  EXPECT_EQ(frame_table(0, sdo).back(), "<- 585: 43 00 20 02 57 58 59 5A");
  EXPECT_STREQ(buf, "WXYZ");
}

TEST_F(SdoTest, ASegmentedUploadAlternatesItsToggleFromZeroInEveryTransfer) {
  device_->set_object(0x2001, 0, "0123456789ABCDEF");  // 16 bytes: 7 + 7 + 2
  char buf[64] = {};
  for (int transfer = 0; transfer < 2; ++transfer) {
    ntcan_sim::clear_trace();
    std::memset(buf, 0, sizeof buf);
    ASSERT_EQ(node_->segSdoRead(5, 0x2001, 0, buf), 0);
    EXPECT_EQ(frame_table(0, sdo), (std::vector<std::string>{
                                       "-> 605: 40 01 20 00 00 00 00 00",
                                       "<- 585: 41 01 20 00 10 00 00 00",
                                       "-> 605: 60 00 00 00 00 00 00 00",
                                       "<- 585: 00 30 31 32 33 34 35 36",
                                       "-> 605: 70 00 00 00 00 00 00 00",
                                       "<- 585: 10 37 38 39 41 42 43 44",
                                       "-> 605: 60 00 00 00 00 00 00 00",
                                       "<- 585: 0B 45 46 00 00 00 00 00",
                                   }));
    EXPECT_STREQ(buf, "0123456789ABCDEF");
  }
}

TEST_F(SdoTest, UnrelatedTrafficBetweenTheAnswersIsDroppedAndTheUploadSucceeds) {
  device_->set_chatter(true);
  ASSERT_EQ(node_->AddIdent(0x705), 0);
  ASSERT_EQ(node_->AddIdent(0x085), 0);
  char buf[64] = {};
  EXPECT_EQ(node_->segSdoRead(5, 0x1008, 0, buf), 0);
  EXPECT_STREQ(buf, "VORBEL simulated CANopen node");
  EXPECT_EQ(ntcan_sim::queued(node_->raw_handle()), 0u) << "the waits consumed everything";
}

TEST_F(SdoTest, AnAbortForTheTransferEndsItWithItsCodeOnStandardOutput) {
  char buf[64] = {};
  testing::internal::CaptureStdout();
  EXPECT_EQ(node_->segSdoRead(5, 0x1008, 1, buf), -1);
  device_->set_abort_after(1, 0x08000020);
  EXPECT_EQ(node_->segSdoRead(5, 0x1008, 0, buf), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Segmented transfer aborted with code 0x6090011\nSegmented transfer aborted with code 0x8000020\n");
  EXPECT_EQ(log_->texts("segSdoRead"), std::vector<std::string>{"--Error: initUploadResponse failed with error -1"});
  EXPECT_EQ(std::string(buf, 7), "VORBEL ") << "what was stored before the abort stays";

  // An abort for another subindex is not this transfer's: dropped.
  ntcan_sim::inject(0, ntcan_sim::make_frame(0x585, {0x80, 0x08, 0x10, 0x01, 0, 0, 2, 6}), "node 5");
  device_->clear_misbehaviour();
  std::memset(buf, 0, sizeof buf);
  EXPECT_EQ(node_->segSdoRead(5, 0x1008, 0, buf), 0);
}

TEST_F(SdoTest, AWrongToggleBitEndsTheTransferWithTheClientsAbort) {
  device_->set_wrong_toggle_after(1);
  char buf[64] = {};
  testing::internal::CaptureStdout();
  EXPECT_EQ(node_->segSdoRead(5, 0x1008, 0, buf), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "--Error: bad toggle bit in segmented transfer sequence.\n");
  const auto frames = frame_table(0, sdo);
  EXPECT_EQ(frames[5], "<- 585: 00 73 69 6D 75 6C 61 74") << "toggle 0 answered to the 0x70 request";
  EXPECT_EQ(frames.back(), "-> 605: 80 08 10 00 00 00 03 05");
  EXPECT_FALSE(device_->transfer_in_progress());
  EXPECT_EQ(log_->count("segSdoRead"), 0u);
}

// The default wait: two reads that block in the driver for the handle's
// receive time-out (1 s each; here the driver's waits are cut to nothing),
// then 0.5 s on the framework clock, a take after each short pause.
TEST_F(SdoTest, ASilentNodeIsGivenUpAfter2point5sAndToldSo) {
  device_->set_silence(canopen_sim::Silence::All);
  char buf[64] = {};
  const int64_t start = clock_->now_us();
  const uint64_t reads = ntcan_sim::calls(ntcan_sim::Call::Read), takes = ntcan_sim::calls(ntcan_sim::Call::Take);
  EXPECT_EQ(node_->segSdoRead(5, 0x1008, 0, buf), -1);
  EXPECT_EQ(clock_->now_us() - start, 500000);
  EXPECT_EQ(ntcan_sim::calls(ntcan_sim::Call::Read) - reads, 2u);
  EXPECT_LT(ntcan_sim::calls(ntcan_sim::Call::Take) - takes, 300u);
  EXPECT_EQ(frame_table(0, sdo), (std::vector<std::string>{"-> 605: 40 08 10 00 00 00 00 00",
                                                           "-> 605: 80 08 10 00 00 00 04 05"}));
  EXPECT_EQ(node_->sdo_abort_code(), 0x05040000u);
  EXPECT_EQ(log_->texts("segSdoRead"), std::vector<std::string>{"--Error: initUploadResponse failed with error -1"});
}

TEST_F(SdoTest, AValueLongerThanTheBufferIsCutAndNothingIsWrittenPastIt) {
  const std::string long_value(100, 'L');
  device_->set_object(0x2002, 0, long_value);
  char mem[80];
  std::memset(mem, '#', sizeof mem);
  char* buf = mem + 8;
  std::memset(buf, 0, 64);
  EXPECT_EQ(node_->segSdoRead(5, 0x2002, 0, buf), 0) << "the transfer is read to its end";
  EXPECT_EQ(std::string(buf), std::string(63, 'L'));
  EXPECT_EQ(mem[8 + 63], '\0');
  EXPECT_EQ(std::string(mem, 8), "########");
  EXPECT_EQ(std::string(mem + 72, 8), "########");
  EXPECT_FALSE(device_->transfer_in_progress());

  // A node that never ends its transfer is given up.
  device_->set_never_last_segment(true);
  std::memset(buf, 0, 64);
  EXPECT_EQ(node_->segSdoRead(5, 0x2002, 0, buf, 64), -1);
  EXPECT_EQ(mem[8 + 63], '\0');
  EXPECT_EQ(std::string(mem + 72, 8), "########");
  EXPECT_EQ(log_->count("segSdoRead"), 1u);
}

TEST_F(SdoTest, WithoutAnOpenLineNothingIsSent) {
  auto offline = node_on(3, 5);  // never initialised: no line
  char buf[64] = {};
  EXPECT_EQ(offline->can_SDO(0x1008, 0), 77);
  EXPECT_EQ(offline->segSdoRead(5, 0x1008, 0, buf), 77);
  EXPECT_EQ(log_->texts("segSdoRead"), std::vector<std::string>{"--Error: initiateUpload failed with error 77"});
  EXPECT_TRUE(frame_table(2).empty());
}

TEST_F(SdoTest, TheServerLoopOnAnotherThreadOnlyCostsTheUploadFrames) {
  std::atomic<bool> stop{false};
  std::thread loop([&] {
    while (!stop) can_looping();
  });
  // Frames the loop takes are lost to the upload, which may then time out;
  // a completed upload is always whole.
  for (int i = 0; i < 20; ++i) {
    char buf[64] = {};
    const int r = node_->segSdoRead(5, 0x1008, 0, buf);
    EXPECT_TRUE(r == 0 || r == -1) << r;
    if (r == 0) {
      EXPECT_STREQ(buf, "VORBEL simulated CANopen node");
    }
  }
  stop = true;
  loop.join();
}
