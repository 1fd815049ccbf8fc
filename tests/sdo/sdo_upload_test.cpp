// The SDO upload client against the simulated CANopen device, read as frame
// tables.
#include <gtest/gtest.h>

#include <cstring>

#include "device_fixture.h"

using SdoTest = DeviceTest;

// Segmented uploads through segSdoRead are the identity texts' (their
// frame tables in node_identity_test); an expedited value of one byte is
// ended after that byte and nothing of the buffer behind it is touched.
TEST_F(SdoTest, AnExpeditedUploadIsOneRequestAndOneAnswer) {
  device_->set_object(0x2000, 1, "A");
  char buf[64];
  std::memset(buf, 'x', sizeof buf);
  EXPECT_EQ(node_->segSdoRead(5, 0x2000, 1, buf), 0);
  EXPECT_EQ(frames(), (std::vector<std::string>{"-> 605: 40 00 20 01 00 00 00 00", "<- 585: 4F 00 20 01 41 00 00 00"}));
  EXPECT_EQ(std::string(buf, 3), std::string("A\0x", 3));
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
  const auto seen = frames();
  EXPECT_EQ(seen[5], "<- 585: 00 73 69 6D 75 6C 61 74") << "toggle 0 answered to the 0x70 request";
  EXPECT_EQ(seen.back(), "-> 605: 80 08 10 00 00 00 03 05");
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
  EXPECT_EQ(frames(), (std::vector<std::string>{"-> 605: 40 08 10 00 00 00 00 00",
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
