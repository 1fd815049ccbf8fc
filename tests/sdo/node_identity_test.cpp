// The identity strings of a node, read from the simulated device and
// published for clients.
#include <gtest/gtest.h>

#include "device_fixture.h"
#include "frame_table.h"

using IdentityTest = DeviceTest;

TEST_F(IdentityTest, TheThreeTextsArePublishedAsTheNodeSendsThem) {
  device_->set_object(0x1008, 0, "VRBL");                                // expedited
  device_->set_object(0x1009, 0, "HW 2.1\r\n");                          // cut before CR LF
  device_->set_object(0x100A, 0, std::string(63, 'v'));                  // nine segments
  EXPECT_EQ(node_->get_manufacture(), 0);
  EXPECT_EQ(node_->get_hwversion(), 0);
  EXPECT_EQ(node_->get_swversion(), 0);
  EXPECT_EQ(client_text("PUMP.MANU"), "VRBL");
  EXPECT_EQ(client_text("PUMP.HWVER"), "HW 2.1");
  EXPECT_EQ(client_text("PUMP.SWVER"), std::string(63, 'v'));
  const auto requests = testsupport::frame_table(0, [](int32_t id) { return id == 0x605; });
  // Initiate requests and segment requests: 1 (expedited), 1 + 2 (8 bytes),
  // 1 + 9 (63 bytes), the toggle from 0 again in each transfer.
  ASSERT_EQ(requests.size(), 1u + 3u + 10u);
  EXPECT_EQ(requests[0], "-> 605: 40 08 10 00 00 00 00 00");
  EXPECT_EQ(requests[1], "-> 605: 40 09 10 00 00 00 00 00");
  EXPECT_EQ(requests[4], "-> 605: 40 0A 10 00 00 00 00 00");
  EXPECT_EQ(requests[5], "-> 605: 60 00 00 00 00 00 00 00");
  EXPECT_EQ(requests[6], "-> 605: 70 00 00 00 00 00 00 00");
  EXPECT_EQ(requests[13], "-> 605: 60 00 00 00 00 00 00 00") << "the ninth segment request";
}

TEST_F(IdentityTest, ATextIsCutAtItsFirstNonAsciiByteAndALongOneAt63Characters) {
  device_->set_object(0x1008, 0, "Caf\xE9 Noir");
  device_->set_object(0x1009, 0, std::string(80, 'h'));
  EXPECT_EQ(node_->get_manufacture(), 0);
  EXPECT_EQ(node_->get_hwversion(), 0);
  EXPECT_EQ(client_text("PUMP.MANU"), "Caf");
  EXPECT_EQ(client_text("PUMP.HWVER"), std::string(63, 'h'));
}

TEST_F(IdentityTest, AFailedUploadPublishesError) {
  device_->remove_object(0x1009, 0);
  testing::internal::CaptureStdout();
  EXPECT_EQ(node_->get_hwversion(), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Segmented transfer aborted with code 0x6020000\n");
  EXPECT_EQ(client_text("PUMP.HWVER"), "error");

  // Without an open line nothing is sent.
  auto offline = node_on(4, 6, "OFFLINE");
  char buf[64] = {};
  EXPECT_EQ(offline->can_SDO(0x1008, 0), 77);
  EXPECT_EQ(offline->segSdoRead(6, 0x1008, 0, buf), 77);
  EXPECT_EQ(log_->texts("segSdoRead"), (std::vector<std::string>{"--Error: initUploadResponse failed with error -1",
                                                                 "--Error: initiateUpload failed with error 77"}));
  EXPECT_EQ(offline->get_swversion(), 77);
  EXPECT_EQ(client_text("OFFLINE.SWVER"), "error");
  EXPECT_TRUE(testsupport::frame_table(3).empty());
}

TEST_F(IdentityTest, OnlyTheSoftwareVersionWaits100msBeforeItsRequest) {
  int64_t request_at = 0;
  const int spy = ntcan_sim::attach(0, "spy", [&](const ntcan_sim::BusFrame& f) {
    if (f.msg.id == 0x605 && f.msg.data[0] == 0x40) request_at = clock_->now_us();
  });
  int64_t called = clock_->now_us();
  ASSERT_EQ(node_->get_manufacture(), 0);
  EXPECT_EQ(request_at - called, 0);
  called = clock_->now_us();
  ASSERT_EQ(node_->get_swversion(), 0);
  EXPECT_EQ(request_at - called, 100000);
  ntcan_sim::detach(spy);
}
