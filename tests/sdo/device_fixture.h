// A node PUMP (line 1, node id 5, SDO responses enabled) and a simulated
// CANopen device with node id 5 on its net.
#ifndef VORBEL_SDO_DEVICE_FIXTURE_H
#define VORBEL_SDO_DEVICE_FIXTURE_H

#include <memory>
#include <string>
#include <vector>

#include "bus_fixture.h"
#include "canopen_device.h"
#include "frame_table.h"

class DeviceTest : public testsupport::BusTest {
 protected:
  void SetUp() override {
    BusTest::SetUp();
    node_ = node_on(1, 5, "PUMP");
    ASSERT_EQ(node_->init(0x585), 0);
    device_ = std::make_unique<canopen_sim::Device>(0, 5);
    // The driver's read does not wait: a wait for an answer that blocks in it
    // (at least 1 s before its time-out) comes back at once, counted as the
    // handle's receive time-out, 1 s.
    ntcan_sim::set_time_scale(0);
    ntcan_sim::clear_trace();
  }
  // The SDO frames of node 5 since the last look.
  static std::vector<std::string> frames() {
    std::vector<std::string> f = testsupport::frame_table(0, [](int32_t id) { return id == 0x605 || id == 0x585; });
    ntcan_sim::clear_trace();
    return f;
  }
  std::unique_ptr<testsupport::NodeProbe> node_;
  std::unique_ptr<canopen_sim::Device> device_;
};

#endif  // VORBEL_SDO_DEVICE_FIXTURE_H
