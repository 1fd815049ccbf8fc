// A master moved away by a client, still flagged as master, leaves the
// polling registry (as a device class's destructor makes it) and takes only
// its own entry, not that of the master now at its new address.
#include <gtest/gtest.h>

#include "bus_fixture.h"

using testsupport::BusTest;

TEST_F(BusTest, AMovedMasterLeavingTheLoopLeavesTheMasterAtItsNewAddressPolled) {
  auto moved = node_on(1, 5);
  ASSERT_EQ(moved->init(0x705), 0);
  moved->set_address(1, 6);
  auto taker = node_on(1, 6);
  ASSERT_EQ(taker->init(0x706), 0);
  moved->dellist();
  ntcan_sim::inject(0, ntcan_sim::make_frame(0x706, {0x05}));
  can_looping();
  EXPECT_EQ(*taker->rx_count(), 1);
}
