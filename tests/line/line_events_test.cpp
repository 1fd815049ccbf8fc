// What device code learns of a line's outage and what comes back by
// itself: the line's notices, its generation, nodes reattached after the
// reopen, and the line's SYNC producer pausing with the line.
#include <gtest/gtest.h>

#include <vector>

#include "bus_fixture.h"
#include "canopen_device.h"

using testsupport::NodeProbe;

namespace {

class LineEvents : public testsupport::ReusedHandlesTest {
 protected:
  // SYNC frames on net 0 since the last look.
  static int syncs() {
    int n = 0;
    for (const auto& e : ntcan_sim::trace(0)) n += e.frame.msg.id == 0x80;
    ntcan_sim::clear_trace();
    return n;
  }
};

}  // namespace

TEST_F(LineEvents, AnOutageIsToldOnceAtItsCloseAndOnceAtTheReopenAndNodesThatAskedCarryFramesAgainByThemselves) {
  std::vector<std::pair<int, bool>> told;
  EXPECT_EQ(canline_on_change(21, [](int, bool) {}), NTCAN_INVALID_PARAMETER);
  const int id = canline_on_change(1, [&](int line, bool open) { told.emplace_back(line, open); });
  ASSERT_GT(id, 0);
  EXPECT_EQ(canline_generation(1), 0u);

  auto motor = node_on(1, 5, "MOTOR"), view = node_on(1, 5, "MOTOR_VIEW"), pump = node_on(1, 6, "PUMP");
  ASSERT_EQ(motor->init(0x705), 0);  // the line's own handle
  ASSERT_EQ(view->init(0x705), 0);   // its follower
  ASSERT_EQ(pump->init(0x706), 0);   // a handle of its own
  for (auto* n : {motor.get(), view.get(), pump.get()}) n->auto_reattach(true);
  auto manual = node_on(1, 7, "MANUAL");
  ASSERT_EQ(manual->init(0x707), 0);
  const uint64_t opened = canline_generation(1);
  EXPECT_EQ(opened, 1u);
  EXPECT_TRUE(told.empty()) << "the first open is not a reopen";

  close_line_1_by_supervision();
  EXPECT_EQ(told, (std::vector<std::pair<int, bool>>{{1, false}}));
  EXPECT_EQ(canline_generation(1), opened + 1);
  EXPECT_TRUE(motor->handle_stale());

  ASSERT_TRUE(run_until([&] { return told.size() == 2; }, 60));
  EXPECT_EQ(told.back(), std::make_pair(1, true));
  EXPECT_EQ(canline_generation(1), opened + 2);
  // Reattached before the notice, without a call from device code.
  EXPECT_FALSE(motor->handle_stale());
  EXPECT_FALSE(view->handle_stale());
  EXPECT_FALSE(pump->handle_stale());
  EXPECT_TRUE(manual->handle_stale()) << "did not ask";
  for (int id : {5, 6, 7}) ntcan_sim::inject(0, ntcan_sim::make_frame(0x700 + id, {0x05}));
  can_looping();
  CMSG batch[100];
  int count = 0;
  EXPECT_EQ(view->can_array(batch, &count), 0);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(pump->can_array(batch, &count), 0);
  EXPECT_EQ(count, 1);

  canline_remove_notice(id);
  close_line_1_by_supervision();
  EXPECT_EQ(told.size(), 2u) << "withdrawn";
}

TEST_F(LineEvents, TheLinesSyncProducerRunsWhileTheLineIsOpenAndEndsWithTheLibrary) {
  vorbel::SyncSettings every_10ms;
  every_10ms.period_us = 10000;
  EXPECT_EQ(canline_sync_start(1, every_10ms), -1) << "no line yet";
  auto motor = node_on(1, 5);
  ASSERT_EQ(motor->init(0x585), 0);
  vorbel::SyncSettings bad = every_10ms;
  bad.counter_overflow = 1;
  EXPECT_EQ(canline_sync_start(1, bad), NTCAN_INVALID_PARAMETER);
  ASSERT_EQ(canline_sync_start(1, every_10ms), 0);
  settle(2);  // the producer beside the supervision
  ntcan_sim::clear_trace();
  clock_->advance(std::chrono::milliseconds(1000));
  EXPECT_EQ(syncs(), 100);
  EXPECT_EQ(canline_sync_stats(1).sent, 100u);

  // Paused while the line is closed, anew after the reopen.
  close_line_1_by_supervision();
  syncs();
  advance_s(10);
  EXPECT_EQ(syncs(), 0);
  ASSERT_TRUE(run_until([&] { return motor->line()->handle() > 0; }, 60));
  settle(2);
  syncs();
  clock_->advance(std::chrono::milliseconds(500));
  EXPECT_EQ(syncs(), 50);

  EXPECT_EQ(canline_sync_stop(1), 0);
  clock_->advance(std::chrono::milliseconds(500));
  EXPECT_EQ(syncs(), 0);
  EXPECT_EQ(canline_sync_stop(1), -1);
  ASSERT_EQ(canline_sync_start(1, every_10ms), 0);
  canline_shutdown();
  syncs();
  clock_->advance(std::chrono::milliseconds(500));
  EXPECT_EQ(syncs(), 0) << "ended with the library";
  EXPECT_EQ(canline_sync_start(1, every_10ms), -1);
}
