// A node's frames while SDO transfers and polls take from its handle: every
// heartbeat, emergency and other frame the node sends reaches the server
// loop's fills, in the order it arrived, and what cannot be kept is counted.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "bus_fixture.h"
#include "canopen_device.h"

using ntcan_sim::make_frame;
using testsupport::NodeProbe;

namespace {

class FrameRouting : public testsupport::BusTest {
 protected:
  void SetUp() override {
    BusTest::SetUp();
    motor_ = node_on(1, 5, "MOTOR");
    ASSERT_EQ(motor_->init(0x585), 0);
    ASSERT_EQ(motor_->init_emergency(), 0);
    ASSERT_EQ(motor_->init(0x705), 0);
    device_ = std::make_unique<canopen_sim::Device>(0, 5);
  }

  // One turn of the server loop as device code runs it: fill, copy, the
  // recognisers; counts what the device code saw.
  void turn() {
    can_looping();
    CMSG batch[100];
    int count = 0;
    if (motor_->can_array(batch, &count) != 0) count = 0;
    for (int i = 0; i < count; ++i) {
      heartbeats_ += batch[i].id == 0x705;
      emergencies_ += batch[i].id == 0x085;
    }
    logged_ += motor_->can_emergency(5, batch, &count) == 100;
    motor_->alive_->supervise(5, batch, &count);
    lost_turns_ += motor_->alive_->lost();
  }
  // 50 ms of framework time (the test's thread drives the clock), then,
  // once whatever reached the node's handle has been taken by the transfer
  // in progress (a thread of its own, not paced by the clock), a turn.
  void step() {
    TELVOsleep(0, 50000);
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(50);
    while (ntcan_sim::queued(motor_->raw_handle()) > 0 && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    turn();
  }
  static int sent(int32_t id) {
    int n = 0;
    for (const auto& e : ntcan_sim::trace(0)) n += e.frame.msg.id == id;
    return n;
  }

  std::unique_ptr<NodeProbe> motor_;
  std::unique_ptr<canopen_sim::Device> device_;
  int heartbeats_ = 0, emergencies_ = 0, logged_ = 0, lost_turns_ = 0;
};

}  // namespace

TEST_F(FrameRouting, HeartbeatsAndAnEmergencyReachTheLoopThroughATimedOutUploadAndUploadsBackToBack) {
  turn();  // the device's boot-up
  heartbeats_ = 0;
  ntcan_sim::clear_trace();
  device_->start_heartbeat(200);
  ASSERT_TRUE(clock_->wait_for_sleepers(2));  // the heartbeat and the line's supervision
  motor_->alive_->consumer_timeout_ms(600);
  for (int i = 0; i < 6; ++i) step();

  // An upload the node never answers waits out its 2.5 s; the node's
  // heartbeats go on, and it reports an error meanwhile.
  device_->set_silence(canopen_sim::Silence::Sdo);
  std::atomic<bool> done{false};
  int result = 0;
  std::thread upload([&] {
    unsigned char buf[64];
    int len = 0;
    result = motor_->sdo_upload(0x1008, 0, buf, sizeof buf, &len);
    done = true;
  });
  for (int turns = 0; !done; ++turns) {
    if (turns == 10) {
      ASSERT_TRUE(device_->send_emergency(0x3210, 0x05, {1, 2, 3, 4, 5}));
    }
    step();
    ASSERT_LT(turns, 200) << "the upload did not end";
  }
  upload.join();
  EXPECT_EQ(result, -1);
  EXPECT_EQ(motor_->sdo_abort_code(), 0x05040000u);

  // Segmented uploads back to back for 2 s of framework time.
  device_->set_silence(canopen_sim::Silence::None);
  done = false;
  std::atomic<int> uploads{0}, failures{0};
  std::thread reader([&] {
    while (!done) {
      unsigned char buf[64];
      int len = 0;
      ++(motor_->sdo_upload(0x1008, 0, buf, sizeof buf, &len) == 0 ? uploads : failures);
    }
  });
  for (int i = 0; i < 40; ++i) step();
  done = true;
  reader.join();
  step();

  EXPECT_GT(uploads, 0);
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(lost_turns_, 0) << "the node was never silent";
  EXPECT_GE(sent(0x705), 20);
  EXPECT_EQ(heartbeats_, sent(0x705)) << "every heartbeat reached device code";
  EXPECT_EQ(emergencies_, 1);
  EXPECT_EQ(logged_, 1);
  EXPECT_EQ(motor_->frames_dropped(), 0u);
}

TEST_F(FrameRouting, APollKeepsTheFramesItDoesNotMatchForTheLoopInTheirOrder) {
  device_.reset();
  can_looping();  // the device's boot-up
  // In front of the answer: a heartbeat and an emergency; behind it, in the
  // same batch, a second frame with the same multiplexer and a heartbeat.
  testsupport::SdoStandIn stand_in({{0x40,
                                     {make_frame(0x705, {0x05}), make_frame(0x085, {0x10, 0x81, 0x11}),
                                      make_frame(0x585, {0x43, 0x18, 0x10, 0x01, 0xDC, 0, 0, 0}),
                                      make_frame(0x585, {0x43, 0x18, 0x10, 0x01, 0xEE, 0, 0, 0}),
                                      make_frame(0x705, {0x7F})}}});
  int ident = 0x605, length = 8;
  unsigned char data[8] = {0x40, 0x18, 0x10, 0x01, 0, 0, 0, 0};
  ASSERT_EQ(motor_->can_poll(&ident, &length, data), 0);
  EXPECT_EQ(ident, 0x585);
  EXPECT_EQ(data[4], 0xDC);

  can_looping();
  CMSG batch[100];
  int count = 0;
  ASSERT_EQ(motor_->can_array(batch, &count), 0);
  ASSERT_EQ(count, 4);
  EXPECT_EQ(batch[0].id, 0x705);
  EXPECT_EQ(batch[1].id, 0x085);
  EXPECT_EQ(batch[2].data[4], 0xEE) << "the second match is kept, not lost";
  EXPECT_EQ(batch[3].data[0], 0x7F);
  EXPECT_EQ(motor_->can_emergency(5, batch, &count), 100);
}

// A device class whose take never runs dry: numbered frames, ten per call.
// During a transfer they pile up beyond what is kept for the fills; the
// fills then see the oldest in order, and the rest are counted, never lost
// without a trace.
TEST_F(FrameRouting, FramesBeyondWhatIsKeptAsideAreCountedAndTheRestArriveInOrder) {
  struct Endless : NodeProbe {
    using NodeProbe::NodeProbe;
    int can_get(CMSG* rxmsg, int* length) override {
      const int n = *length < 10 ? *length : 10;
      for (int i = 0; i < n; ++i) {
        rxmsg[i] = make_frame(0x185, {static_cast<uint8_t>(made), static_cast<uint8_t>(made >> 8)});
        ++made;
      }
      *length = n;
      return 0;
    }
    int made = 0;
  } node("ENDLESS", &eq_);
  node.set_address(1, 6);
  ASSERT_EQ(node.init(0x586), 0);
  node.sdo_timeout_ms(100);
  clock_->set_query_tick_us(1000);
  unsigned char buf[8];
  int len = 0;
  EXPECT_EQ(node.sdo_upload(0x1000, 0, buf, sizeof buf, &len), -1);
  clock_->set_query_tick_us(0);
  const int made_by_transfer = node.made;
  ASSERT_GT(made_by_transfer, 300);
  EXPECT_EQ(node.frames_dropped(), static_cast<uint64_t>(made_by_transfer - 256));

  // The 256 oldest first, in order; then what the fills take after them.
  std::vector<int> seen;
  for (int fill = 0; fill < 6; ++fill) {
    can_looping();
    CMSG batch[100];
    int count = 0;
    ASSERT_EQ(node.can_array(batch, &count), 0);
    for (int i = 0; i < count; ++i) seen.push_back(batch[i].data[0] | batch[i].data[1] << 8);
  }
  ASSERT_GE(seen.size(), 300u);
  for (int i = 0; i < 256; ++i) ASSERT_EQ(seen[i], i);
  EXPECT_EQ(seen[256], made_by_transfer) << "the frames taken after the transfer follow";
  for (size_t i = 257; i < seen.size(); ++i) ASSERT_EQ(seen[i], seen[i - 1] + 1);
  EXPECT_EQ(node.frames_dropped(), static_cast<uint64_t>(made_by_transfer - 256)) << "no more lost by the fills";
}
