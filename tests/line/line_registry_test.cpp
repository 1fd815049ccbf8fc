// Nodes attaching to the shared line of their line number and giving their
// handles up again.
#include <gtest/gtest.h>

#include "bus_fixture.h"

using ntcan_sim::Call;
using testsupport::BusTest;

TEST_F(BusTest, TheFirstNodeOfALineFixesItsBaudRateAndEveryNodeClosesOnlyTheHandleItOpened) {
  auto creator = node_on(3, 5), master = node_on(3, 6), plain = node_on(3, 7);
  creator->set_baudrate(4);
  master->set_baudrate(2);
  for (auto* n : {creator.get(), master.get(), plain.get()}) ASSERT_EQ(n->can_open(), 0);
  EXPECT_EQ(creator->line(), master->line());
  EXPECT_EQ(creator->raw_handle(), creator->line()->handle());
  EXPECT_EQ(creator->handle(), creator->raw_handle());
  EXPECT_EQ(ntcan_sim::baud_rate(master->raw_handle()), 4u) << "later nodes use the line's baud rate";
  ASSERT_EQ(master->can_open(), 0);
  EXPECT_EQ(ntcan_sim::calls(Call::Open), 3u) << "opening again keeps the handle a node holds";

  creator->make_master(1);
  master->make_master(1);
  const NTCAN_HANDLE line_handle = creator->raw_handle();
  EXPECT_EQ(creator->can_close(), 0);
  EXPECT_EQ(creator->raw_handle(), -1);
  EXPECT_EQ(ntcan_sim::calls(Call::Close), 0u) << "the line's handle belongs to the line";
  const int64_t before = clock_->now_us();
  EXPECT_EQ(master->can_close(), 0);
  EXPECT_EQ(clock_->now_us() - before, 5000);
  EXPECT_EQ(plain->can_close(), 0);
  EXPECT_EQ(ntcan_sim::handles(2), std::vector<NTCAN_HANDLE>{line_handle}) << "master or not, its own handle";

  auto other_line = node_on(4, 1);
  ASSERT_EQ(other_line->can_open(), 0);
  EXPECT_EQ(ntcan_sim::baud_rate(other_line->raw_handle()), 6u) << "baud-rate value 0 opens with code 6";
}
