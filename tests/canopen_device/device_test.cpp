// The simulated CANopen node seen on the trace of its net, as frame tables:
// "-> 605: 40 08 10 00 00 00 00 00" went out from a driver handle,
// "<- 585: 41 08 10 00 14 00 00 00" came from a node, "-> 705: R" is a
// remote request.
#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <string>
#include <vector>

#include "canopen_device.h"
#include "frame_table.h"
#include "ntcan_sim.h"
#include "telvo_clock.h"

namespace {

using canopen_sim::Device;
using canopen_sim::NmtState;
using Frames = std::vector<std::string>;
using std::chrono::milliseconds;

class DeviceTest : public testing::Test {
 protected:
  DeviceTest() {
    ntcan_sim::reset();
    EXPECT_EQ(canOpen(0, 0, 10, 1000, 1000, 1000, &h_), NTCAN_SUCCESS);
  }

  // The frames on net 0 since the last look.
  static Frames bus() {
    Frames frames = testsupport::frame_table(0);
    ntcan_sim::clear_trace();
    return frames;
  }

  // Sends the "->" rows of `table` from the handle; the nodes answer before
  // canSend returns, so the net then shows `table`.
  void expect_bus(const Frames& table) {
    for (const std::string& row : table) {
      if (row.rfind("->", 0) != 0) continue;
      std::istringstream in(row.substr(3));
      CMSG m{};
      unsigned v = 0;
      in >> std::hex >> v;
      m.id = static_cast<int32_t>(v);
      in.ignore(1);
      while (in >> v) m.data[m.len++] = static_cast<uint8_t>(v);
      if (row.back() == 'R') m = ntcan_sim::make_rtr(m.id, 1);
      int32_t n = 1;
      EXPECT_EQ(canSend(h_, &m, &n), NTCAN_SUCCESS) << row;
    }
    EXPECT_EQ(bus(), table);
  }

  NTCAN_HANDLE h_ = NTCAN_NO_HANDLE;
};

TEST_F(DeviceTest, NmtCommandsForItsIdOrForAllChangeStateAndResetsSendABootUp) {
  Device five(0, 5), six(0, 6);
  EXPECT_EQ(bus(), (Frames{"<- 705: 00", "<- 706: 00"}));
  EXPECT_EQ(five.state(), NmtState::PreOperational);
  expect_bus({"-> 000: 01 05"});
  EXPECT_EQ(five.state(), NmtState::Operational);
  EXPECT_EQ(six.state(), NmtState::PreOperational);
  expect_bus({"-> 000: 02 00"});
  EXPECT_EQ(six.state(), NmtState::Stopped);
  expect_bus({"-> 000: 80 06", "-> 000: 01 07", "-> 000: 01 05 00"});  // the last: length 3, no command
  EXPECT_EQ(five.state(), NmtState::Stopped);
  EXPECT_EQ(six.state(), NmtState::PreOperational);

  // Stopped: no SDO answers and no emergencies, as a CANopen node.
  expect_bus({"-> 605: 40 08 10 00 00 00 00 00"});
  EXPECT_FALSE(five.send_emergency(0x1000, 1));
  EXPECT_EQ(five.sdo_requests(), 1u);

  expect_bus({"-> 000: 81 05", "<- 705: 00", "-> 000: 82 00", "<- 705: 00", "<- 706: 00"});
  EXPECT_EQ(five.state(), NmtState::PreOperational);
  EXPECT_TRUE(five.send_emergency(0x8210, 0x11, {1, 2, 3, 4, 5}));
  EXPECT_EQ(bus(), Frames{"<- 085: 10 82 11 01 02 03 04 05"});
}

TEST_F(DeviceTest, GuardingAnswersCarryTheStateWithABit7ThatTogglesUntilAReset) {
  Device node(0, 5);
  expect_bus({"<- 705: 00", "-> 705: R", "<- 705: 7F", "-> 705: R", "<- 705: FF", "-> 000: 01 05", "-> 705: R",
              "<- 705: 05", "-> 000: 81 05", "<- 705: 00", "-> 705: R", "<- 705: 7F"});
}

TEST_F(DeviceTest, HeartbeatsFollowTheFrameworkClockAndStopWithoutWaitingForIt) {
  auto& clock = telvo::install_manual_clock();
  canopen_sim::Options options;
  options.heartbeat_ms = 100;
  options.boot_up = false;
  Device node(0, 5, options);
  ASSERT_TRUE(clock.wait_for_sleepers(1));
  clock.advance(milliseconds(300));
  EXPECT_EQ(bus(), (Frames{"<- 705: 7F", "<- 705: 7F", "<- 705: 7F"}));
  expect_bus({"-> 000: 01 05"});
  clock.advance(milliseconds(150));
  EXPECT_EQ(bus(), Frames{"<- 705: 05"});
  node.stop_heartbeat();
  clock.advance(milliseconds(1000));
  EXPECT_EQ(bus(), Frames{});

  // Destroyed while its producer sleeps: no hang; the thread ends at the next advance.
  { Device other(0, 6, options); ASSERT_TRUE(clock.wait_for_sleepers(1)); }
  clock.advance(milliseconds(100));
  EXPECT_EQ(bus(), Frames{});
  EXPECT_EQ(clock.sleepers(), 0u);
}

class SdoTest : public DeviceTest {
 protected:
  SdoTest() {
    node.set_object(0x1008, 0, "VORBEL sim node 0005");  // 20 bytes: segments of 7, 7, 6
    bus();
  }
  Device node{0, 5};
  const std::string up = "-> 605: 40 08 10 00 00 00 00 00", up_answer = "<- 585: 41 08 10 00 14 00 00 00",
                    s0 = "-> 605: 60 00 00 00 00 00 00 00", s1 = "-> 605: 70 00 00 00 00 00 00 00",
                    first_segment = "<- 585: 00 56 4F 52 42 45 4C 20";
};

TEST_F(SdoTest, UploadsGoExpeditedUpToFourBytesAndInTogglingSegmentsBeyond) {
  node.set_object(0x2000, 1, "A");
  node.set_object(0x2000, 2, std::string("AB\0D", 4));
  node.set_object(0x2001, 0, std::string(14, 'x'));
  node.set_object(0x2002, 0, "");
  expect_bus({"-> 605: 40 00 20 01 00 00 00 00", "<- 585: 4F 00 20 01 41 00 00 00",
              "-> 605: 40 00 20 02 00 00 00 00", "<- 585: 43 00 20 02 41 42 00 44",
              up, up_answer, s0, first_segment,
              s1, "<- 585: 10 73 69 6D 20 6E 6F 64", s0, "<- 585: 03 65 20 30 30 30 35 00",
              "-> 605: 40 01 20 00 00 00 00 00", "<- 585: 41 01 20 00 0E 00 00 00",
              s0, "<- 585: 00 78 78 78 78 78 78 78", s1, "<- 585: 11 78 78 78 78 78 78 78",
              "-> 605: 40 02 20 00 00 00 00 00", "<- 585: 41 02 20 00 00 00 00 00",
              s0, "<- 585: 0F 00 00 00 00 00 00 00"});
  EXPECT_FALSE(node.transfer_in_progress());
}

TEST_F(SdoTest, ProtocolErrorsAreAnsweredWithAborts) {
  expect_bus({"-> 605: 40 08 10 01 00 00 00 00", "<- 585: 80 08 10 01 11 00 09 06",  // no such subindex
              "-> 605: 40 00 30 00 00 00 00 00", "<- 585: 80 00 30 00 00 00 02 06",  // no such object
              up, up_answer,
              s1, "<- 585: 80 08 10 00 00 00 03 05",  // the first toggle must be 0
              s0, "<- 585: 80 00 00 00 00 00 00 08",  // no transfer in progress
              "-> 605: E0 08 10 00 01 02 03 04", "<- 585: 80 08 10 00 01 00 04 05",  // no such command
              up, up_answer,
              "-> 605: 80 08 10 00 00 00 00 05",  // the client's abort ends the transfer
              s0, "<- 585: 80 00 00 00 00 00 00 08",
              "-> 605: 40 08 10 00"});  // short requests are ignored
  EXPECT_EQ(node.sdo_requests(), 10u);
}

TEST_F(SdoTest, EachMisbehaviourIsVisibleOnTheWire) {
  node.set_silence(canopen_sim::Silence::Sdo);
  expect_bus({up});
  node.set_silence(canopen_sim::Silence::All);
  expect_bus({"-> 000: 02 00"});
  EXPECT_FALSE(node.send_heartbeat());
  EXPECT_EQ(node.state(), NmtState::PreOperational);

  // Uploads with a wrong toggle, an abort or no last segment: the SDO
  // client's tests read them frame by frame.
  node.clear_misbehaviour();
  node.set_chatter(true);
  expect_bus({"-> 605: 40 08 10 07 00 00 00 00", "<- 705: 7F", "<- 085: 00 10 01 00 00 00 00 00",
              "<- 585: 80 08 10 07 11 00 09 06"});

  // Downloads misbehave alike.
  node.clear_misbehaviour();
  node.set_wrong_toggle_after(1);
  expect_bus({"-> 605: 21 00 30 00 0E 00 00 00", "<- 585: 80 00 30 00 00 00 02 06"});  // no entry yet
  node.set_object(0x3000, 0, "");
  expect_bus({"-> 605: 21 00 30 00 0E 00 00 00", "<- 585: 60 00 30 00 00 00 00 00",
              "-> 605: 00 61 62 63 64 65 66 67", "<- 585: 20 00 00 00 00 00 00 00",
              "-> 605: 11 68 69 6A 6B 6C 6D 6E", "<- 585: 20 00 00 00 00 00 00 00"});
  EXPECT_EQ(node.object(0x3000, 0), "abcdefghijklmn") << "the node goes on as if its answers were right";
  node.clear_misbehaviour();
  node.set_abort_after(1, 0x08000022);
  expect_bus({"-> 605: 21 00 30 00 0E 00 00 00", "<- 585: 60 00 30 00 00 00 00 00",
              "-> 605: 00 41 42 43 44 45 46 47", "<- 585: 20 00 00 00 00 00 00 00",
              "-> 605: 11 48 49 4A 4B 4C 4D 4E", "<- 585: 80 00 30 00 22 00 00 08"});
  EXPECT_EQ(node.object(0x3000, 0), "abcdefghijklmn");
}

TEST_F(SdoTest, DownloadsWriteWritableEntriesAndAHeartbeatTimeAppliesAtOnce) {
  auto& clock = telvo::install_manual_clock();
  node.set_object(0x2000, 0, "");
  expect_bus({"-> 605: 2B 00 20 00 34 12 00 00", "<- 585: 60 00 20 00 00 00 00 00",  // 2 bytes, expedited
              "-> 605: 21 00 20 00 09 00 00 00", "<- 585: 60 00 20 00 00 00 00 00",  // 9 bytes, segmented
              "-> 605: 00 31 32 33 34 35 36 37", "<- 585: 20 00 00 00 00 00 00 00",
              "-> 605: 1B 38 39 00 00 00 00 00", "<- 585: 30 00 00 00 00 00 00 00",
              "-> 605: 2B 17 10 00 64 00 00 00", "<- 585: 60 17 10 00 00 00 00 00"});  // 0x1017: 100 ms
  EXPECT_EQ(node.object(0x2000, 0), "123456789");
  ASSERT_TRUE(clock.wait_for_sleepers(1));
  clock.advance(milliseconds(250));
  EXPECT_EQ(bus(), (Frames{"<- 705: 7F", "<- 705: 7F"}));
  expect_bus({"-> 605: 2B 17 10 00 00 00 00 00", "<- 585: 60 17 10 00 00 00 00 00"});  // 0: off
  clock.advance(milliseconds(500));
  EXPECT_EQ(bus(), Frames{});

  // Each refusal with its abort code, and the entries unchanged.
  expect_bus({"-> 605: 2F 08 10 00 41 00 00 00", "<- 585: 80 08 10 00 02 00 01 06",    // read-only
              "-> 605: 27 17 10 00 01 02 03 00", "<- 585: 80 17 10 00 10 00 07 06",    // 3 bytes for 2
              "-> 605: 21 0C 10 00 04 00 00 00", "<- 585: 80 0C 10 00 10 00 07 06",    // 4 bytes for 2
              "-> 605: 2F 00 40 00 01 00 00 00", "<- 585: 80 00 40 00 00 00 02 06",    // no such object
              "-> 605: 2F 18 10 05 01 00 00 00", "<- 585: 80 18 10 05 11 00 09 06",    // no such subindex
              "-> 605: 21 00 20 00 02 00 00 00", "<- 585: 60 00 20 00 00 00 00 00",
              "-> 605: 05 61 62 63 00 00 00 00", "<- 585: 80 00 20 00 10 00 07 06",    // 3 bytes for 2
              "-> 605: 10 61 00 00 00 00 00 00", "<- 585: 80 00 00 00 00 00 00 08"});  // no download
  EXPECT_EQ(node.object(0x2000, 0), "123456789");
  EXPECT_EQ(node.object(0x1017, 0), std::string("\0\0", 2));
}

TEST_F(SdoTest, TheIdentityObjectHoldsItsFourNumbers) {
  canopen_sim::Options options;
  options.vendor_id = 0x01020304;
  options.serial_number = 0xCAFE;
  Device six(0, 6, options);
  bus();
  expect_bus({"-> 606: 40 18 10 00 00 00 00 00", "<- 586: 4F 18 10 00 04 00 00 00",
              "-> 606: 40 18 10 01 00 00 00 00", "<- 586: 43 18 10 01 04 03 02 01",
              "-> 606: 40 18 10 02 00 00 00 00", "<- 586: 43 18 10 02 01 00 00 00",
              "-> 606: 40 18 10 03 00 00 00 00", "<- 586: 43 18 10 03 00 00 01 00",
              "-> 606: 40 18 10 04 00 00 00 00", "<- 586: 43 18 10 04 FE CA 00 00"});
}

}  // namespace

TEST_F(SdoTest, EmergenciesSetTheErrorRegisterAndFillTheErrorHistoryNewestFirst) {
  EXPECT_TRUE(node.send_emergency(0x3210, 0x04, {0x12, 0x34, 0x56}));
  EXPECT_TRUE(node.send_emergency(0x8130, 0x10));
  EXPECT_EQ(bus(), (Frames{"<- 085: 10 32 05 12 34 56 00 00", "<- 085: 30 81 11 00 00 00 00 00"}))
      << "the generic bit comes with any error";
  EXPECT_TRUE(node.send_emergency(0x0000, 0x00));
  EXPECT_EQ(bus(), Frames{"<- 085: 00 00 00 00 00 00 00 00"}) << "error reset: the register clears, no entry";
  expect_bus({"-> 605: 40 01 10 00 00 00 00 00", "<- 585: 4F 01 10 00 00 00 00 00",
              "-> 605: 40 03 10 00 00 00 00 00", "<- 585: 4F 03 10 00 02 00 00 00",
              "-> 605: 40 03 10 01 00 00 00 00", "<- 585: 43 03 10 01 30 81 00 00",
              "-> 605: 40 03 10 02 00 00 00 00", "<- 585: 43 03 10 02 10 32 12 34"});

  // Stopped, the node sends nothing but still has the error.
  node.set_state(NmtState::Stopped);
  EXPECT_FALSE(node.send_emergency(0x5000, 0x80));
  EXPECT_EQ(bus(), Frames{});
  EXPECT_EQ(node.error_register(), 0x81);
  EXPECT_EQ(node.error_history(), (std::vector<uint32_t>{0x5000, 0x8130, 0x34123210}));
  node.set_state(NmtState::PreOperational);

  // Bounded: the oldest entries go.
  for (uint16_t k = 1; k <= 7; ++k) node.send_emergency(static_cast<uint16_t>(0x1000 + k), 0);
  bus();
  EXPECT_EQ(node.error_history(), (std::vector<uint32_t>{0x1007, 0x1006, 0x1005, 0x1004, 0x1003, 0x1002, 0x1001, 0x5000}));

  // Only 0 at subindex 0 writes: it clears the history.
  expect_bus({"-> 605: 2F 03 10 00 01 00 00 00", "<- 585: 80 03 10 00 30 00 09 06",
              "-> 605: 23 03 10 01 00 00 00 00", "<- 585: 80 03 10 01 02 00 01 06",
              "-> 605: 2F 01 10 00 00 00 00 00", "<- 585: 80 01 10 00 02 00 01 06",
              "-> 605: 2F 03 10 00 00 00 00 00", "<- 585: 60 03 10 00 00 00 00 00",
              "-> 605: 40 03 10 00 00 00 00 00", "<- 585: 4F 03 10 00 00 00 00 00",
              "-> 605: 40 03 10 01 00 00 00 00", "<- 585: 80 03 10 01 11 00 09 06"});
  EXPECT_EQ(node.error_register(), 0x01) << "clearing the history leaves the register alone";
}
