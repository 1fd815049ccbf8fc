// The simulated CANopen node seen through a driver handle on its net. Frames
// are written "585: 41 08 10 00 14 00 00 00" (identifier: data bytes).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "canopen_device.h"
#include "ntcan_sim.h"
#include "telvo_clock.h"

namespace {

using canopen_sim::Device;
using canopen_sim::NmtState;
using Frames = std::vector<std::string>;
using std::chrono::milliseconds;

std::string text(const CMSG& m) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%03X:", static_cast<unsigned>(m.id));
  std::string s = buf;
  for (int i = 0; i < (m.len & NTCAN_DLC_MASK); ++i) {
    std::snprintf(buf, sizeof buf, " %02X", m.data[i]);
    s += buf;
  }
  return s;
}

CMSG frame(const std::string& t) {  // the reverse of text()
  std::istringstream in(t);
  CMSG m{};
  unsigned v = 0;
  in >> std::hex >> v;
  m.id = static_cast<int32_t>(v);
  in.ignore(1);
  while (in >> v) m.data[m.len++] = static_cast<uint8_t>(v);
  return m;
}

// A client's driver handle on net 0.
struct Client {
  explicit Client(std::vector<int32_t> ids) {
    EXPECT_EQ(canOpen(0, 0, 10, 1000, 1000, 1000, &h), NTCAN_SUCCESS);
    for (int32_t id : ids) canIdAdd(h, id);
  }
  ~Client() { canClose(h); }
  void send(CMSG m) {
    int32_t n = 1;
    EXPECT_EQ(canSend(h, &m, &n), NTCAN_SUCCESS);
  }
  Frames take() {  // everything waiting
    CMSG buf[100];
    int32_t n = 100;
    EXPECT_EQ(canTake(h, buf, &n), NTCAN_SUCCESS);
    Frames out;
    for (int32_t i = 0; i < n; ++i) out.push_back(text(buf[i]));
    return out;
  }
  // Sends each request; the node's answers are queued before canSend returns.
  void expect_dialogue(const std::vector<std::pair<std::string, Frames>>& rows) {
    for (const auto& [request, answers] : rows) {
      send(frame(request));
      EXPECT_EQ(take(), answers) << "-> " << request;
    }
  }
  NTCAN_HANDLE h = NTCAN_NO_HANDLE;
};

class DeviceTest : public testing::Test {
 protected:
  void SetUp() override { ntcan_sim::reset(); }
  void TearDown() override { ntcan_sim::reset(); }
};

TEST_F(DeviceTest, NmtCommandsForItsIdOrForAllChangeStateAndResetsSendABootUp) {
  Client bus({0x705, 0x706, 0x585, 0x085});
  Device five(0, 5), six(0, 6);
  EXPECT_EQ(bus.take(), (Frames{"705: 00", "706: 00"}));
  EXPECT_EQ(five.state(), NmtState::PreOperational);
  bus.send(frame("000: 01 05"));
  EXPECT_EQ(five.state(), NmtState::Operational);
  EXPECT_EQ(six.state(), NmtState::PreOperational);
  bus.send(frame("000: 02 00"));
  EXPECT_EQ(six.state(), NmtState::Stopped);
  bus.send(frame("000: 80 06"));
  bus.send(frame("000: 01 07"));
  bus.send(frame("000: 01 05 00"));  // length 3: no NMT command
  EXPECT_EQ(five.state(), NmtState::Stopped);
  EXPECT_EQ(six.state(), NmtState::PreOperational);

  // Stopped: no SDO answers and no emergencies, as a CANopen node.
  bus.expect_dialogue({{"605: 40 08 10 00 00 00 00 00", {}}});
  EXPECT_FALSE(five.send_emergency(0x1000, 1));
  EXPECT_EQ(five.sdo_requests(), 1u);

  bus.expect_dialogue({{"000: 81 05", {"705: 00"}}, {"000: 82 00", {"705: 00", "706: 00"}}});
  EXPECT_EQ(five.state(), NmtState::PreOperational);
  EXPECT_TRUE(five.send_emergency(0x8210, 0x11, {1, 2, 3, 4, 5}));
  EXPECT_EQ(bus.take(), Frames{"085: 10 82 11 01 02 03 04 05"});
}

TEST_F(DeviceTest, GuardingAnswersCarryTheStateWithABit7ThatTogglesUntilAReset) {
  Client bus({0x705});
  Device node(0, 5);
  const CMSG rtr = ntcan_sim::make_rtr(0x705, 1);
  for (const CMSG& m : {rtr, rtr, frame("000: 01 05"), rtr, frame("000: 81 05"), rtr}) bus.send(m);
  EXPECT_EQ(bus.take(), (Frames{"705: 00", "705: 7F", "705: FF", "705: 05", "705: 00", "705: 7F"}));
  EXPECT_EQ(node.guard_toggle(), 1);
}

TEST_F(DeviceTest, HeartbeatsFollowTheFrameworkClockAndStopWithoutWaitingForIt) {
  auto& clock = telvo::install_manual_clock();
  Client bus({0x705, 0x706});
  canopen_sim::Options options;
  options.heartbeat_ms = 100;
  options.boot_up = false;
  Device node(0, 5, options);
  ASSERT_TRUE(clock.wait_for_sleepers(1));
  clock.advance(milliseconds(300));
  EXPECT_EQ(bus.take(), (Frames{"705: 7F", "705: 7F", "705: 7F"}));
  bus.send(frame("000: 01 05"));
  clock.advance(milliseconds(150));
  EXPECT_EQ(bus.take(), Frames{"705: 05"});
  node.stop_heartbeat();
  clock.advance(milliseconds(1000));
  EXPECT_EQ(bus.take(), Frames{});

  // Destroyed while its producer sleeps: no hang; the thread ends at the next advance.
  { Device other(0, 6, options); ASSERT_TRUE(clock.wait_for_sleepers(1)); }
  clock.advance(milliseconds(100));
  EXPECT_EQ(bus.take(), Frames{});
  EXPECT_EQ(clock.sleepers(), 0u);
}

class SdoTest : public DeviceTest {
 protected:
  void SetUp() override {
    DeviceTest::SetUp();
    bus = std::make_unique<Client>(std::vector<int32_t>{0x585});
    node = std::make_unique<Device>(0, 5);
    node->set_object(0x1008, 0, "VORBEL sim node 0005");  // 20 bytes: segments of 7, 7, 6
  }
  std::unique_ptr<Client> bus;
  std::unique_ptr<Device> node;
  const std::string up = "605: 40 08 10 00 00 00 00 00", s0 = "605: 60 00 00 00 00 00 00 00",
                    s1 = "605: 70 00 00 00 00 00 00 00";
};

TEST_F(SdoTest, UploadsGoExpeditedUpToFourBytesAndInTogglingSegmentsBeyond) {
  node->set_object(0x2000, 1, "A");
  node->set_object(0x2000, 2, std::string("AB\0D", 4));
  node->set_object(0x2001, 0, std::string(14, 'x'));
  node->set_object(0x2002, 0, "");
  bus->expect_dialogue({
      {"605: 40 00 20 01 00 00 00 00", {"585: 4F 00 20 01 41 00 00 00"}},
      {"605: 40 00 20 02 00 00 00 00", {"585: 43 00 20 02 41 42 00 44"}},
      {up, {"585: 41 08 10 00 14 00 00 00"}},
      {s0, {"585: 00 56 4F 52 42 45 4C 20"}},
      {s1, {"585: 10 73 69 6D 20 6E 6F 64"}},
      {s0, {"585: 03 65 20 30 30 30 35 00"}},
      {"605: 40 01 20 00 00 00 00 00", {"585: 41 01 20 00 0E 00 00 00"}},
      {s0, {"585: 00 78 78 78 78 78 78 78"}},
      {s1, {"585: 11 78 78 78 78 78 78 78"}},
      {"605: 40 02 20 00 00 00 00 00", {"585: 41 02 20 00 00 00 00 00"}},
      {s0, {"585: 0F 00 00 00 00 00 00 00"}},
  });
  EXPECT_FALSE(node->transfer_in_progress());
}

TEST_F(SdoTest, ProtocolErrorsAreAnsweredWithAborts) {
  bus->expect_dialogue({
      {"605: 40 08 10 01 00 00 00 00", {"585: 80 08 10 01 00 00 02 06"}},  // no such object
      {up, {"585: 41 08 10 00 14 00 00 00"}},
      {s1, {"585: 80 08 10 00 00 00 03 05"}},  // the first toggle must be 0
      {s0, {"585: 80 00 00 00 00 00 00 08"}},  // no transfer in progress
      {"605: 20 08 10 00 01 02 03 04", {"585: 80 08 10 00 01 00 04 05"}},  // download
      {up, {"585: 41 08 10 00 14 00 00 00"}},
      {"605: 80 08 10 00 00 00 00 05", {}},  // the client's abort ends the transfer
      {s0, {"585: 80 00 00 00 00 00 00 08"}},
      {"605: 40 08 10 00", {}},  // short requests are ignored
  });
  EXPECT_EQ(node->sdo_requests(), 9u);
}

TEST_F(SdoTest, EachMisbehaviourIsVisibleOnTheWire) {
  node->set_silence(canopen_sim::Silence::Sdo);
  bus->expect_dialogue({{up, {}}});
  node->set_silence(canopen_sim::Silence::All);
  bus->send(frame("000: 02 00"));
  EXPECT_FALSE(node->send_heartbeat());
  EXPECT_EQ(node->state(), NmtState::PreOperational);

  node->clear_misbehaviour();
  node->set_wrong_toggle_after(1);
  bus->expect_dialogue({{up, {"585: 41 08 10 00 14 00 00 00"}},
                        {s0, {"585: 00 56 4F 52 42 45 4C 20"}},
                        {s1, {"585: 00 73 69 6D 20 6E 6F 64"}}});
  node->clear_misbehaviour();
  node->set_abort_after(1, 0x08000020);
  bus->expect_dialogue({{up, {"585: 41 08 10 00 14 00 00 00"}},
                        {s0, {"585: 00 56 4F 52 42 45 4C 20"}},
                        {s1, {"585: 80 08 10 00 20 00 00 08"}}});
  node->clear_misbehaviour();
  node->set_never_last_segment(true);
  node->set_object(0x2000, 0, "12345");
  bus->expect_dialogue({{"605: 40 00 20 00 00 00 00 00", {"585: 41 00 20 00 05 00 00 00"}},
                        {s0, {"585: 04 31 32 33 34 35 00 00"}},
                        {s1, {"585: 10 2A 2A 2A 2A 2A 2A 2A"}},
                        {s0, {"585: 00 2A 2A 2A 2A 2A 2A 2A"}}});
  node->clear_misbehaviour();
  node->set_chatter(true);
  canIdAdd(bus->h, 0x085);
  canIdAdd(bus->h, 0x705);
  bus->expect_dialogue({{"605: 40 08 10 07 00 00 00 00",
                         {"705: 7F", "085: 00 10 01 00 00 00 00 00", "585: 80 08 10 07 00 00 02 06"}}});
}

// Two nodes uploaded from threads of their own while a third sends guarding
// requests and NMT commands and the heartbeat producers run on the manual
// clock, advanced by a fourth.
TEST_F(SdoTest, TwoNodesServeConcurrentClientsWhileProducingHeartbeats) {
  auto& clock = telvo::install_manual_clock();
  Device six(0, 6);
  six.set_object(0x1008, 0, "VORBEL sim node 0006");
  node->start_heartbeat(10);
  six.start_heartbeat(10);
  std::atomic<bool> done{false};
  std::thread guard([&] {
    Client c({0x705, 0x706});
    for (int i = 0; !done; ++i) {
      c.send(ntcan_sim::make_rtr(0x705 + i % 2, 1));
      c.send(frame(i % 2 ? "000: 01 00" : "000: 80 00"));
      c.take();
    }
  });
  std::thread ticker([&] {
    while (!done) clock.advance(milliseconds(10));
  });
  auto uploads = [](int id) {
    const std::string n = std::to_string(id);
    Client c({0x580 + id});
    for (int round = 0; round < 100; ++round) {
      c.expect_dialogue({{"60" + n + ": 40 08 10 00 00 00 00 00", {"58" + n + ": 41 08 10 00 14 00 00 00"}},
                         {"60" + n + ": 60 00 00 00 00 00 00 00", {"58" + n + ": 00 56 4F 52 42 45 4C 20"}},
                         {"60" + n + ": 70 00 00 00 00 00 00 00", {"58" + n + ": 10 73 69 6D 20 6E 6F 64"}},
                         {"60" + n + ": 60 00 00 00 00 00 00 00", {"58" + n + ": 03 65 20 30 30 30 3" + n + " 00"}}});
    }
  };
  std::thread a(uploads, 5), b(uploads, 6);
  a.join();
  b.join();
  done = true;
  guard.join();
  ticker.join();
  EXPECT_EQ(node->sdo_requests(), 400u);
  EXPECT_EQ(six.sdo_requests(), 400u);
}

}  // namespace
