// Program download and store/restore of parameters, against the simulated
// CANopen device.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "device_fixture.h"

namespace {

using Frames = std::vector<std::string>;

class ProgramTest : public DeviceTest {
 protected:
  void SetUp() override {
    DeviceTest::SetUp();
    canopen_sim::Options options;
    options.program_download = true;
    device_.reset();
    device_ = std::make_unique<canopen_sim::Device>(0, 5, options);
    frames();
  }
  // The node's heartbeat time 0x1017 as it reads back.
  int heartbeat_ms() {
    unsigned char ms[2] = {};
    int len = 0;
    EXPECT_EQ(node_->sdo_upload(0x1017, 0, ms, 2, &len), 0);
    return ms[0] | ms[1] << 8;
  }
};

}  // namespace

TEST_F(ProgramTest, AProgramImageGoesByBlockBetweenStopClearAndStartAndItsIdentificationComesBack) {
  std::vector<unsigned char> image(3000);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<unsigned char>(i * 7);
  uint32_t identification = 0;
  int step = -1;
  ASSERT_EQ(vorbel::program_download(*node_, 1, image.data(), 3000, &identification, {}, &step), 0);
  EXPECT_EQ(step, 0);
  EXPECT_EQ(identification, vorbel::sdo_crc16(image.data(), image.size()));
  EXPECT_EQ(device_->object(0x1F50, 1), std::string(image.begin(), image.end()));
  EXPECT_EQ(device_->object(0x1F51, 1), std::string(1, '\1')) << "running";
  const Frames seen = frames();
  ASSERT_GT(seen.size(), 10u);
  EXPECT_EQ(Frames(seen.begin(), seen.begin() + 5),
            (Frames{"-> 605: 2F 51 1F 01 00 00 00 00", "<- 585: 60 51 1F 01 00 00 00 00",
                    "-> 605: 2F 51 1F 01 03 00 00 00", "<- 585: 60 51 1F 01 00 00 00 00",
                    "-> 605: C6 50 1F 01 B8 0B 00 00"}));
  // The identification comes back as the image's CRC, expedited.
  char identified[64];
  std::snprintf(identified, sizeof identified, "<- 585: 43 56 1F 01 %02X %02X 00 00", identification & 0xFF,
                identification >> 8 & 0xFF);
  EXPECT_EQ(Frames(seen.end() - 4, seen.end()),
            (Frames{"-> 605: 2F 51 1F 01 01 00 00 00", "<- 585: 60 51 1F 01 00 00 00 00",
                    "-> 605: 40 56 1F 01 00 00 00 00", identified}));

  // A running program is not cleared; a program the node does not have
  // fails at the first step, which is logged.
  const unsigned char clear = 3;
  EXPECT_EQ(node_->sdo_download(0x1F51, 1, &clear, 1), -1);
  EXPECT_EQ(node_->sdo_abort_code(), canopen_sim::kAbortDeviceState);
  EXPECT_EQ(vorbel::program_download(*node_, 2, image.data(), 3000, &identification, {}, &step), -1);
  EXPECT_EQ(step, 1);
  EXPECT_EQ(identification, 0u);
  EXPECT_EQ(log_->texts("vorbel::program_download"),
            Frames{"program 2, step 1, stop the program (0x1F51 := 0): result -1, abort code 0x06090011"});
  EXPECT_EQ(vorbel::program_download(*node_, 1, image.data(), 0, nullptr), NTCAN_INVALID_PARAMETER);
}

TEST_F(ProgramTest, StoredParametersSurviveAResetAndRestoredDefaultsComeBackAtTheNext) {
  const unsigned char ms100[] = {100, 0};
  ASSERT_EQ(node_->sdo_download(0x1017, 0, ms100, 2), 0);
  device_->reboot();
  EXPECT_EQ(heartbeat_ms(), 0) << "not stored: gone with the reset";
  EXPECT_FALSE(device_->heartbeat_running());

  ASSERT_EQ(node_->sdo_download(0x1017, 0, ms100, 2), 0);
  ASSERT_EQ(vorbel::store_parameters(*node_, 3), 0);
  device_->reboot();
  EXPECT_EQ(heartbeat_ms(), 0) << "the application parameters do not hold 0x1017";
  ASSERT_EQ(node_->sdo_download(0x1017, 0, ms100, 2), 0);
  ASSERT_EQ(vorbel::store_parameters(*node_), 0);
  ASSERT_EQ(node_->reset_node(), 0);
  EXPECT_EQ(heartbeat_ms(), 100);
  EXPECT_TRUE(device_->heartbeat_running());

  ASSERT_EQ(vorbel::restore_defaults(*node_), 0);
  EXPECT_EQ(heartbeat_ms(), 100) << "until the next reset";
  ASSERT_EQ(node_->reset_comm_node(), 0);
  EXPECT_EQ(heartbeat_ms(), 0);
  EXPECT_FALSE(device_->heartbeat_running());
  const Frames seen = frames();
  EXPECT_NE(std::find(seen.begin(), seen.end(), "-> 605: 23 10 10 01 73 61 76 65"), seen.end());
  EXPECT_NE(std::find(seen.begin(), seen.end(), "-> 605: 23 11 10 01 6C 6F 61 64"), seen.end());

  // Only the signature stores; groups are 1..127.
  EXPECT_EQ(node_->sdo_download(0x1010, 1, reinterpret_cast<const unsigned char*>("SAVE"), 4), -1);
  EXPECT_EQ(node_->sdo_abort_code(), canopen_sim::kAbortCannotStore);
  EXPECT_EQ(vorbel::store_parameters(*node_, 0), NTCAN_INVALID_PARAMETER);
  EXPECT_EQ(vorbel::restore_defaults(*node_, 128), NTCAN_INVALID_PARAMETER);
}
