// Nodes attaching to the shared line of their line number and giving their
// handles up again.
#include <gtest/gtest.h>

#include "bus_fixture.h"

using ntcan_sim::Call;
using testsupport::BusTest;

TEST_F(BusTest, TheFirstNodeOfALineFixesItsBaudRateAndSharesItsHandle) {
  auto first = node_on(3, 5);
  auto second = node_on(3, 6);
  first->set_baudrate(4);
  second->set_baudrate(2);
  ASSERT_EQ(first->can_open(), 0);
  ASSERT_EQ(second->can_open(), 0);
  EXPECT_EQ(first->line(), second->line());
  EXPECT_EQ(first->raw_handle(), first->line()->handle());
  EXPECT_NE(second->raw_handle(), first->raw_handle());
  EXPECT_EQ(ntcan_sim::baud_rate(second->raw_handle()), 4u) << "later nodes use the line's baud rate";
  EXPECT_EQ(ntcan_sim::handles(2).size(), 2u);
  EXPECT_EQ(first->handle(), first->raw_handle());

  // Opening again keeps the handle a node holds.
  ASSERT_EQ(second->can_open(), 0);
  EXPECT_EQ(ntcan_sim::calls(Call::Open), 2u);

  auto third = node_on(4, 1);
  ASSERT_EQ(third->can_open(), 0);
  EXPECT_EQ(ntcan_sim::baud_rate(third->raw_handle()), 6u) << "baud-rate value 0 opens with code 6";
}

TEST_F(BusTest, ANodeClosesTheHandleItOpenedItselfAndNeverTheLines) {
  auto creator = node_on(3, 5);
  auto later = node_on(3, 6);
  auto plain = node_on(3, 7);
  for (auto* n : {creator.get(), later.get(), plain.get()}) ASSERT_EQ(n->can_open(), 0);
  creator->make_master(1);
  later->make_master(1);
  const NTCAN_HANDLE line_handle = creator->raw_handle();
  const NTCAN_HANDLE later_handle = later->raw_handle();
  const NTCAN_HANDLE plain_handle = plain->raw_handle();

  EXPECT_EQ(creator->can_close(), 0);
  EXPECT_EQ(creator->raw_handle(), -1);
  EXPECT_EQ(ntcan_sim::calls(Call::Close), 0u) << "the line's handle belongs to the line";

  const int64_t before = clock_->now_us();
  EXPECT_EQ(later->can_close(), 0);
  EXPECT_EQ(clock_->now_us() - before, 5000);
  EXPECT_EQ(ntcan_sim::handles(2), (std::vector<NTCAN_HANDLE>{line_handle, plain_handle}));

  EXPECT_EQ(plain->can_close(), 0);
  EXPECT_EQ(plain->raw_handle(), -1);
  EXPECT_EQ(ntcan_sim::handles(2), std::vector<NTCAN_HANDLE>{line_handle}) << "master or not, its own handle";
  (void)later_handle;

  // A failed close of a master's own handle is logged and the handle dropped.
  auto fourth = node_on(3, 8);
  ASSERT_EQ(fourth->can_open(), 0);
  fourth->make_master(1);
  ntcan_sim::fail_next(2, Call::Close, NTCAN_INVALID_DRIVER);
  EXPECT_EQ(fourth->can_close(), NTCAN_INVALID_DRIVER);
  EXPECT_EQ(log_->texts("D_can::can_close returned: "),
            std::vector<std::string>{"NTCAN_INVALID_DRIVER(0x00000112)"});
  EXPECT_EQ(fourth->raw_handle(), -1);
}

TEST_F(BusTest, NodesJoiningAClosedLineGetNoHandleUntilTheyOpenAgain) {
  // A line whose open failed at creation is registered all the same.
  ntcan_sim::fail_next(4, Call::Open, NTCAN_NET_NOT_FOUND);
  auto first = node_on(5, 1);
  EXPECT_EQ(first->can_open(), NTCAN_NET_NOT_FOUND);
  ASSERT_NE(first->line(), nullptr);
  auto second = node_on(5, 2);
  EXPECT_EQ(second->can_open(), -1);
  EXPECT_EQ(second->line(), first->line());
  EXPECT_EQ(second->raw_handle(), -1);
  EXPECT_EQ(ntcan_sim::calls(Call::Open, 4), 1u) << "joining a closed line tries no open";
  EXPECT_EQ(second->handle(), -1);
}
