// Emergencies decoded, named by their error code's class and their error
// register's bits, and queued between the thread that takes them and
// device code.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <tuple>

#include "D_vorbel.h"
#include "bus_fixture.h"
#include "canopen_device.h"
#include "ntcan_sim.h"

using ntcan_sim::make_frame;
using vorbel::Emergency;
using vorbel::EmergencyQueue;

TEST(EmergencyText, EachErrorCodeIsNamedByTheMostSpecificClassItHasAndTheRegisterByItsBits) {
  const std::pair<uint16_t, const char*> codes[] = {
      {0x0000, "error reset or no error"}, {0x00FF, "error reset or no error"}, {0x0100, "unknown error code"},
      {0x1000, "generic error"}, {0x2000, "current"}, {0x2130, "current, device input side"},
      {0x2200, "current inside the device"}, {0x2310, "current, device output side"}, {0x2400, "current"},
      {0x3000, "voltage"}, {0x3110, "mains voltage"}, {0x3210, "voltage inside the device"},
      {0x3310, "output voltage"}, {0x4000, "temperature"}, {0x4110, "ambient temperature"},
      {0x4210, "device temperature"}, {0x5000, "device hardware"}, {0x6000, "device software"},
      {0x6100, "internal software"}, {0x6200, "user software"}, {0x6300, "data set"},
      {0x7000, "additional modules"}, {0x8000, "monitoring"}, {0x8100, "communication"},
      {0x8110, "CAN overrun (objects lost)"}, {0x8120, "CAN in error passive mode"},
      {0x8130, "life guard error or heartbeat error"}, {0x8140, "recovered from bus off"},
      {0x8150, "CAN-ID collision"}, {0x8111, "communication"}, {0x8200, "protocol error"},
      {0x8210, "PDO not processed due to length error"}, {0x8220, "PDO length exceeded"},
      {0x8230, "DAM MPDO not processed, destination object not available"},
      {0x8240, "unexpected SYNC data length"}, {0x8250, "RPDO time-out"}, {0x8260, "protocol error"},
      {0x8300, "monitoring"}, {0x9000, "external error"}, {0xA000, "unknown error code"},
      {0xF000, "additional functions"}, {0xF0FF, "additional functions"}, {0xF100, "unknown error code"},
      {0xFF00, "device specific"}, {0xFFFF, "device specific"}};
  for (const auto& [code, text] : codes) EXPECT_STREQ(vorbel::emergency_code_text(code), text) << std::hex << code;

  const std::pair<uint8_t, const char*> registers[] = {
      {0x00, "no error"}, {0x01, "generic"}, {0x05, "generic, voltage"}, {0x0B, "generic, current, temperature"},
      {0x11, "generic, communication"}, {0x40, "reserved"}, {0xA1, "generic, device profile, manufacturer"},
      {0xFF, "generic, current, voltage, temperature, communication, device profile, reserved, manufacturer"}};
  for (const auto& [reg, text] : registers) EXPECT_EQ(vorbel::error_register_text(reg), text) << int{reg};
}

TEST(EmergencyDecode, OnlyDataFramesOnTheEmergencyIdentifiersDecodeAndShortOnesSayHowShort) {
  Emergency e;
  ASSERT_EQ(vorbel::decode_emergency(make_frame(0x085, {0x10, 0x32, 0x05, 0x12, 0x34, 0x56, 0x78, 0x9A}), 4021, &e), 0);
  EXPECT_EQ(std::make_tuple(e.node_id, e.length, e.taken_ms), std::make_tuple(5, uint8_t{8}, 4021LL));
  EXPECT_EQ(std::vector<uint8_t>(e.manufacturer, e.manufacturer + 5), (std::vector<uint8_t>{0x12, 0x34, 0x56, 0x78, 0x9A}));
  EXPECT_EQ(vorbel::emergency_text(e), "0x3210 voltage inside the device, register 0x05: generic, voltage");
  ASSERT_EQ(vorbel::decode_emergency(make_frame(0x0FF, {0x30, 0x81, 0x11}), 7, &e), 0);
  EXPECT_EQ(std::make_tuple(e.node_id, e.length, e.manufacturer[0]), std::make_tuple(127, uint8_t{3}, uint8_t{0}));
  EXPECT_EQ(vorbel::emergency_text(e), "0x8130 life guard error or heartbeat error, register 0x11: generic, communication");
  CMSG too_long = make_frame(0x081, {1, 2, 3, 4, 5, 6, 7, 8});
  too_long.len = 15;
  ASSERT_EQ(vorbel::decode_emergency(too_long, 0, &e), 0);
  EXPECT_EQ(e.length, 8) << "never more than the 8 bytes a frame holds";

  CMSG remote = make_frame(0x085, {});
  remote.len = NTCAN_RTR;
  for (const CMSG& m : {make_frame(0x080, {}), make_frame(0x100, {0x10, 0x32}), make_frame(0x07F, {0x10}), remote}) {
    EXPECT_EQ(vorbel::decode_emergency(m, 1, &e), -1) << std::hex << m.id;
    EXPECT_EQ(e.taken_ms, 0) << "nothing stored";
  }
  EXPECT_EQ(vorbel::decode_emergency(make_frame(0x085, {}), 0, nullptr), NTCAN_INVALID_PARAMETER);
}

TEST(EmergencyQueueTest, ABatchGoesInInOrderAndAFullQueueKeepsTheOldestAndCountsTheRest) {
  EmergencyQueue q(4);
  const CMSG batch[] = {
      make_frame(0x705, {0x05}),
      make_frame(0x085, {0x10, 0x32, 0x05, 1, 0, 0, 0, 0}),
      make_frame(0x086, {0x00, 0x10, 0x01, 0, 0, 0, 0, 0}),  // another node's
      make_frame(0x080, {}),                                 // SYNC
      make_frame(0x085, {0x00, 0x42, 0x09, 2, 0, 0, 0, 0}),
      make_frame(0x085, {0x30, 0x81, 0x11, 3, 0, 0, 0, 0}),
  };
  EXPECT_EQ(q.collect(batch, 6, 5, 1200), 3);
  EXPECT_EQ(q.size(), 3);
  EXPECT_EQ(q.collect(batch, 6, 5, 1300), 3) << "found, queued or not";
  EXPECT_EQ(q.size(), 4);
  EXPECT_EQ(q.dropped(), 2u);

  std::vector<std::pair<uint16_t, long long>> taken;
  Emergency e;
  while (q.take(&e)) taken.emplace_back(e.error_code, e.taken_ms);
  EXPECT_EQ(taken, (decltype(taken){{0x3210, 1200}, {0x4200, 1200}, {0x8130, 1200}, {0x3210, 1300}}));

  // The ring wraps: room again after the takes; clearing keeps the count.
  for (uint16_t code = 1; code <= 5; ++code) q.push(Emergency{5, code});
  ASSERT_TRUE(q.take(&e));
  EXPECT_EQ(std::make_tuple(e.error_code, q.size(), q.dropped()), std::make_tuple(uint16_t{1}, 3, uint64_t{3}));
  q.clear();
  EXPECT_EQ(std::make_tuple(q.take(&e), q.dropped()), std::make_tuple(false, uint64_t{3}));
  EXPECT_EQ(EmergencyQueue(0).capacity(), 16);
}

TEST(EmergencyQueueTest, DeviceCodeTakesOnItsThreadWhileTheLoopPutsInEveryEmergencyTakenOrCountedInOrder) {
  EmergencyQueue q(8);
  constexpr int kBatches = 2000;
  std::atomic<bool> done{false};
  std::vector<uint16_t> taken;
  std::thread device_code([&] {
    for (Emergency e; !done.load() || q.size() > 0;)
      q.take(&e) ? taken.push_back(e.error_code) : std::this_thread::yield();
  });
  for (int b = 0; b < kBatches; ++b) {
    const CMSG batch[] = {make_frame(0x085, {static_cast<uint8_t>(b & 0xFF), static_cast<uint8_t>(b >> 8)})};
    q.collect(batch, 1, 5, b);
  }
  done = true;
  device_code.join();
  EXPECT_EQ(taken.size() + q.dropped(), static_cast<size_t>(kBatches));
  EXPECT_TRUE(std::is_sorted(taken.begin(), taken.end()));
  EXPECT_EQ(std::adjacent_find(taken.begin(), taken.end()), taken.end()) << "none twice";
}

namespace {
class NodeEmergencies : public testsupport::BusTest {};
}  // namespace

// A node's queue: three emergencies of one batch, one sent during an SDO
// transfer (taken by the transfer, kept for the fill), a follower's fill, and
// a full queue.
TEST_F(NodeEmergencies, EveryEmergencyOfTheNodeReachesItsQueueInOrderDecodedAndWhatDoesNotFitIsCounted) {
  auto motor = node_on(1, 5, "MOTOR"), view = node_on(1, 5, "MOTOR_VIEW");
  ASSERT_EQ(motor->init(0x585), 0);
  ASSERT_EQ(motor->init_emergency(), 0);
  ASSERT_EQ(view->init(0x705), 0);
  EXPECT_EQ(view->emergency_queue(-1), NTCAN_INVALID_PARAMETER);
  ASSERT_EQ(view->emergency_queue(5), 0) << "shared with the master";
  canopen_sim::Device device(0, 5);
  can_looping();  // the boot-up

  for (uint16_t code : {0x3210, 0x4210, 0x8130}) ASSERT_TRUE(device.send_emergency(code, 0x04, {1, 2, 3, 4, 5}));
  can_looping();
  device.set_chatter(true);  // an emergency (0x1000) in front of each SDO answer
  unsigned char buf[4];
  int len = 0;
  ASSERT_EQ(motor->sdo_upload(0x1018, 1, buf, 4, &len), 0);
  view->can_fill();
  ASSERT_EQ(motor->sdo_upload(0x1018, 2, buf, 4, &len), 0);
  ASSERT_EQ(motor->sdo_upload(0x1018, 3, buf, 4, &len), 0);
  can_looping();

  std::vector<std::string> seen;
  Emergency e;
  while (motor->take_emergency(&e)) {
    EXPECT_EQ(e.node_id, 5);
    EXPECT_EQ(e.taken_ms, TELVOtime_ms());
    seen.push_back(vorbel::emergency_text(e));
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"0x3210 voltage inside the device, register 0x05: generic, voltage",
                                            "0x4210 device temperature, register 0x05: generic, voltage",
                                            "0x8130 life guard error or heartbeat error, register 0x05: generic, voltage",
                                            "0x1000 generic error, register 0x01: generic",
                                            "0x1000 generic error, register 0x01: generic"}));
  EXPECT_EQ(motor->emergencies_dropped(), 1u) << "the third transfer's";
  EXPECT_EQ(motor->emergency_queue(0), 0);
  EXPECT_FALSE(motor->take_emergency(&e));
  auto loose = node_on(1, 6);
  ASSERT_EQ(loose->init(), 0);
  EXPECT_EQ(loose->emergency_queue(), -1) << "no receive buffer";
}
