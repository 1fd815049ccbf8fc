// libVORBEL on the NTCAN driver over socketcand, against the simulated nets
// served by another process (ntcan_sim_server) with a simulated CANopen
// device: SDO uploads across TCP, a connection cut mid-run that the line
// supervision closes and reopens, and what the driver refuses.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "D_vorbel.h"
#include "gateway_fixture.h"
#include "ntcan_socketcand.h"
#include "child_process.h"
#include "telvo_clock.h"
#include "telvo_log.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

struct Node : D_can {
  Node(const std::string& name, EqFct* eq, int line, int id) : D_can(name, eq) {
    IIII a{line, id, 0, 0};
    set_value(&a);
    has_changed();
  }
  canline* line() const { return pline_; }
};

std::string read_identity(Node& node, int index) {
  char buf[64] = {};
  const int r = node.segSdoRead(5, index, 0, buf, sizeof buf);
  return r == 0 ? buf : "failed with " + std::to_string(r);
}

struct SocketcandDriver : testing::Test {
  SocketcandDriver() {
    setenv("NTCAN_SOCKETCAND", ("0=127.0.0.1:" + std::to_string(port)).c_str(), 1);
  }
  testsupport::FakeGateway gateway;  // a gateway reset never leaves the machine
  testsupport::ChildProcess server{VORBEL_SIM_SERVER, {"--device", "0:5"}};
  const uint16_t port = testsupport::served_port(server);
};

TEST_F(SocketcandDriver, TheLibraryReachesARemoteDeviceAndItsLineComesBackAfterTheConnectionIsCut) {
  telvo::ManualClock& clock = telvo::install_manual_clock();
  clock.drive_from_this_thread();
  telvo::LogCapture log;
  EqFct eq("CANTEST");
  Node motor("MOTOR", &eq, 1, 5);
  ASSERT_EQ(motor.init(0x585), 0);
  EXPECT_EQ(read_identity(motor, 0x1008), "DC-200 drive controller");
  EXPECT_EQ(read_identity(motor, 0x1009), "r3");

  // Uploads back to back lose no answer; the round trip of one over the
  // loopback connection is reported.
  std::vector<double> us;
  for (int i = 0; i < 200; ++i) {
    const auto t0 = steady_clock::now();
    ASSERT_EQ(read_identity(motor, 0x1009), "r3") << "upload " << i;
    us.push_back(std::chrono::duration<double, std::micro>(steady_clock::now() - t0).count());
  }
  std::sort(us.begin(), us.end());
  std::printf("expedited SDO upload over socketcand on loopback: median %.0f us, 90th percentile %.0f us (%zu uploads)\n",
              us[us.size() / 2], us[us.size() * 9 / 10], us.size());
  RecordProperty("expedited_upload_median_us", static_cast<int>(us[us.size() / 2]));

  // The server goes away: the driver reports the lost connection, the
  // supervision closes the line after two failed status queries and reopens
  // it once the server is back.
  const NTCAN_HANDLE before = motor.line()->handle();
  ASSERT_EQ(server.ask("cut"), "cut");
  CAN_IF_STATUS st{};
  for (int ms = 0; ms < 2000 && canStatus(before, &st) == NTCAN_SUCCESS; ++ms) std::this_thread::sleep_for(milliseconds(1));
  ASSERT_EQ(canStatus(before, &st), NTCAN_SOCK_CONN_TIMEOUT);
  ASSERT_TRUE(clock.wait_for_sleepers(1));
  clock.advance(std::chrono::seconds(62));
  EXPECT_EQ(motor.line()->handle(), -1) << "closed after two failed status queries";
  EXPECT_EQ(read_identity(motor, 0x1008), "failed with 77");
  ASSERT_EQ(server.ask("serve").rfind("serving", 0), 0u);
  for (int s = 0; s < 30 && motor.line()->handle() <= 0; ++s) clock.advance(std::chrono::seconds(1));
  EXPECT_GT(motor.line()->handle(), before) << "reopened with a fresh handle";
  EXPECT_EQ(canStatus(motor.line()->handle(), &st), NTCAN_SUCCESS);
  EXPECT_EQ(log.texts("1. canStatus returned: ").at(0).find("NTCAN_SOCK_CONN_TIMEOUT") != std::string::npos, true);
  EXPECT_EQ(log.count("2. canStatus returned: "), 1u);

  // As on any line: the line's close took the node's handle, and device
  // code reattaches it; the device answers across the new connection.
  EXPECT_TRUE(motor.handle_stale());
  ASSERT_EQ(motor.reattach(), 0);
  EXPECT_EQ(read_identity(motor, 0x100A), "2.4.1");
  EXPECT_GE(ntcan_socketcand::counters().connections_lost, 1u);
}

TEST_F(SocketcandDriver, ConnectionFailuresHaveTheirStatusAndRemoteFramesAreRefusedNotChanged) {
  setenv("NTCAN_SOCKETCAND", ("0=127.0.0.1:" + std::to_string(port) + " 1=127.0.0.1:1 " +
                              "3=127.0.0.1:" + std::to_string(port) + ":can99 4=bad-entry")
                                 .c_str(),
         1);
  NTCAN_HANDLE h = NTCAN_NO_HANDLE;
  const std::pair<int, NTCAN_RESULT> failures[] = {{1, NTCAN_SOCK_CONN_TIMEOUT},
                                                   {3, NTCAN_NET_NOT_FOUND},  // the server has no bus can99
                                                   {4, NTCAN_NET_NOT_FOUND},
                                                   {5, NTCAN_NET_NOT_FOUND}};
  for (const auto& [net, status] : failures) {
    EXPECT_EQ(canOpen(net, 0, 10, 100, 1000, 1000, &h), status) << "net " << net;
    EXPECT_EQ(h, NTCAN_NO_HANDLE);
  }

  ASSERT_EQ(canOpen(0, 0, 10, 100, 1000, 1000, &h), NTCAN_SUCCESS);
  CMSG frames[2] = {};
  frames[0].id = 0x605;
  frames[1].id = 0x705;
  frames[1].len = NTCAN_RTR;
  int32_t n = 2;
  EXPECT_EQ(canSend(h, frames, &n), NTCAN_INVALID_PARAMETER);
  EXPECT_EQ(n, 0);
  EXPECT_EQ(ntcan_socketcand::counters().remote_refused, 1u);
  EXPECT_EQ(ntcan_socketcand::counters().frames_sent, 0u) << "one remote frame stops the whole batch";
}

}  // namespace
