// The simulated device's PDOs, configured through the library: transmit
// PDOs by transmission type, receive PDOs, and the process values.
#include <gtest/gtest.h>

#include "pdo_fixture.h"

using vorbel::PdoConfig;

TEST_F(PdoTest, TransmitPdosGoOutAtTheirSyncsOnlyWhileTheNodeIsOperational) {
  PdoConfig started = tpdo(4, {target_}, 2);
  started.comm.sync_start = 2;
  for (const PdoConfig& c : {tpdo(1, {position_}, 1), tpdo(2, {temperature_}, 3), tpdo(3, {target_}, 0), started})
    ASSERT_EQ(vorbel::pdo_write(*node_, c), 0);
  sync(1);
  EXPECT_EQ(pdo_frames(), Frames{}) << "pre-operational";
  ASSERT_EQ(node_->start_node(), 0);

  // Which PDOs each SYNC (counter 1..6) brings; the target velocity changes
  // before the fifth.
  const char* const expected[] = {"185 385", "185 485", "185 285", "185 485", "185 385", "185 285 485"};
  for (int counter = 1; counter <= 6; ++counter) {
    if (counter == 5) {
      const unsigned char v[4] = {7, 0, 0, 0};
      ASSERT_EQ(node_->sdo_download(0x60FF, 0, v, 4), 0);
    }
    sync(counter);
    std::string ids;
    for (const std::string& f : pdo_frames()) ids += (ids.empty() ? "" : " ") + f.substr(3, 3);
    EXPECT_EQ(ids, expected[counter - 1]) << "SYNC " << counter;
  }
  // Four steps of 100, then two of 7.
  EXPECT_EQ(device_int(0x6064), 414);
  EXPECT_EQ(device_int(0x606C), 7);
  const int32_t t = device_int(0x2400) & 0xFFFF;
  EXPECT_TRUE(t >= 244 && t <= 256) << "drifted by at most 1 a step: " << t;

  ASSERT_EQ(node_->stop_node(), 0);
  sync(7);
  EXPECT_EQ(pdo_frames(), Frames{});
}

TEST_F(PdoTest, AnEventDrivenPdoGoesOnChangeNoSoonerThanItsInhibitTimeAndOnItsEventTimer) {
  PdoConfig c = tpdo(1, {target_}, 255);
  c.comm.inhibit_time = 50;  // 5 ms
  c.comm.event_timer = 100;
  ASSERT_EQ(vorbel::pdo_write(*node_, c), 0);
  settle(1);  // the line's supervision thread
  const size_t sleepers = clock_->sleepers();
  ASSERT_EQ(node_->start_node(), 0);
  ASSERT_TRUE(clock_->wait_for_sleepers(sleepers + 1)) << "the device's PDO timer";
  std::vector<int> sent_at;
  for (int ms = 1; ms <= 220; ++ms) {
    // Changes just before the timer's tick at `ms`.
    if (ms == 2 || ms == 150 || ms == 151) device_->set_object(0x60FF, 0, std::string(4, static_cast<char>(ms)));
    clock_->advance(std::chrono::milliseconds(1));
    for (size_t k = pdo_frames().size(); k > 0; --k) sent_at.push_back(ms);
  }
  // First at once; the change at 2 ms at the end of the inhibit time, the
  // event timer 100 ms after that; the change at 150 ms at once, the one
  // at 151 ms at the end of the inhibit time.
  EXPECT_EQ(sent_at, (std::vector<int>{1, 6, 106, 150, 155}));

  // Stopped: the timer thread goes.
  ASSERT_EQ(node_->stop_node(), 0);
  clock_->advance(std::chrono::milliseconds(300));
  EXPECT_EQ(pdo_frames(), Frames{});
  EXPECT_EQ(clock_->sleepers(), sleepers);

  // Operational while silent (unplugged): no timer until the silence ends,
  // then PDOs again.
  device_->set_silence(canopen_sim::Silence::All);
  device_->set_state(canopen_sim::NmtState::Operational);
  clock_->advance(std::chrono::milliseconds(5));
  EXPECT_EQ(clock_->sleepers(), sleepers);
  device_->set_silence(canopen_sim::Silence::None);
  ASSERT_TRUE(clock_->wait_for_sleepers(sleepers + 1)) << "the timer back with the end of the silence";
  clock_->advance(std::chrono::milliseconds(110));
  EXPECT_FALSE(pdo_frames().empty());
}

TEST_F(PdoTest, SynchronousReceivePdosWaitForTheSyncAndShortOnesAreCountedAndIgnored) {
  const PdoConfig r = rpdo(2, {target_}, 0);
  ASSERT_EQ(vorbel::pdo_write(*node_, r), 0);
  ASSERT_EQ(node_->start_node(), 0);
  const vorbel::PdoValue v[] = {-3};
  ASSERT_EQ(vorbel::pdo_send(*node_, 0x305, r.mapping, v, 1), 0);
  EXPECT_EQ(device_int(0x60FF), 100) << "not before the SYNC";
  sync();
  EXPECT_EQ(device_int(0x60FF), -3);
  EXPECT_EQ(device_int(0x6064), -3) << "taken before the step";

  unsigned char two[2] = {9, 0};
  ASSERT_EQ(node_->can_write(0x305, 2, two), 0);
  sync();
  EXPECT_EQ(device_int(0x60FF), -3);
  EXPECT_EQ(device_->pdo_length_errors(), 1u);
}
