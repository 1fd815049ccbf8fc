// Leaving the polling registry: a node takes only its own entry with it,
// whatever address it has by then.
#include <gtest/gtest.h>

#include "bus_fixture.h"

using testsupport::BusTest;

namespace {

// A device class that overrides an operation of the server loop and so
// leaves the loop first thing in its destructor.
class DeviceNode : public testsupport::NodeProbe {
 public:
  using NodeProbe::NodeProbe;
  ~DeviceNode() override { dellist(); }
  int can_fill() override { return NodeProbe::can_fill(); }
};

}  // namespace

TEST_F(BusTest, AMovedMasterLeavingTheLoopLeavesTheNodeNowAtItsAddressPolled) {
  auto moved = std::make_unique<DeviceNode>("MOVED", &eq_);
  moved->set_address(1, 5);
  ASSERT_EQ(moved->init(0x705), 0);
  moved->set_address(1, 6);  // off the loop, still flagged as a master
  auto taker = node_on(1, 6);
  ASSERT_EQ(taker->init(0x706), 0);

  moved.reset();
  ntcan_sim::inject(0, ntcan_sim::make_frame(0x706, {0x05}));
  can_looping();
  ASSERT_NE(taker->rx_count(), nullptr);
  EXPECT_EQ(*taker->rx_count(), 1) << "the master of 1/6 is no longer polled";
}

TEST_F(BusTest, AFormerMasterJoinedToAnotherMasterLeavesThatMasterPolled) {
  auto master = node_on(1, 6);
  ASSERT_EQ(master->init(0x706), 0);
  auto joined = std::make_unique<DeviceNode>("JOINED", &eq_);
  joined->set_address(1, 5);
  ASSERT_EQ(joined->init(0x705), 0);
  joined->set_address(1, 6, 1);  // another third value: it joins the master
  ASSERT_EQ(joined->init(0x706), 0);
  EXPECT_EQ(joined->rx_buffer(), master->rx_buffer());

  EXPECT_EQ(joined->dellist(), 0);
  ntcan_sim::inject(0, ntcan_sim::make_frame(0x706, {0x05}));
  can_looping();
  EXPECT_EQ(*master->rx_count(), 1);
}
