// libVORBEL on the driver over socketcand against a daemon that turns
// hostile (a proxy in front of ntcan_sim_server with a simulated drive as
// node 5): the driver finds the daemon dead within its echo time-out, the
// line's supervision closes the line, its reopen attempts meet a daemon that
// breaks off the handshake, and once the daemon is healthy again the line
// reopens and an SDO upload succeeds.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "D_vorbel.h"
#include "child_process.h"
#include "gateway_fixture.h"
#include "hostile_daemon.h"
#include "ntcan_socketcand.h"
#include "telvo_clock.h"
#include "telvo_log.h"

namespace {

using Mode = testsupport::HostileDaemon::Mode;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr int kEchoTimeoutMs = 300;
// What the test grants the machine beyond the driver's bound (thread
// scheduling on a loaded machine, sanitizers).
constexpr int kSlackMs = 250;

struct Node : D_can {
  Node(EqFct* eq) : D_can("MOTOR", eq) {
    IIII a{1, 5, 0, 0};
    set_value(&a);
    has_changed();
  }
  canline* line() const { return pline_; }
  std::string identity(int index) {
    char buf[64] = {};
    const int r = segSdoRead(5, index, 0, buf, sizeof buf);
    return r == 0 ? buf : "failed with " + std::to_string(r);
  }
};

// Real milliseconds until `failed` holds, at most 5 s.
template <class Pred>
long ms_until(Pred failed) {
  const auto t0 = steady_clock::now();
  while (!failed() && steady_clock::now() - t0 < std::chrono::seconds(5)) std::this_thread::sleep_for(milliseconds(1));
  return static_cast<long>(std::chrono::duration_cast<milliseconds>(steady_clock::now() - t0).count());
}

class HostileDaemonTest : public testing::TestWithParam<Mode> {
 protected:
  HostileDaemonTest() {
    setenv("NTCAN_SOCKETCAND",
           ("0=127.0.0.1:" + std::to_string(daemon.port()) + " echo_timeout_ms=" + std::to_string(kEchoTimeoutMs)).c_str(),
           1);
  }
  testsupport::FakeGateway gateway;  // a gateway reset never leaves the machine
  testsupport::ChildProcess server{VORBEL_SIM_SERVER, {"--device", "0:5:100"}};  // heartbeats every 100 ms
  testsupport::HostileDaemon daemon{testsupport::served_port(server)};
};

TEST_P(HostileDaemonTest, TheLineIsClosedWithinTheEchoTimeOutAndReopenedWhenTheDaemonIsHealthyAgain) {
  telvo::ManualClock& clock = telvo::install_manual_clock();
  clock.drive_from_this_thread();
  telvo::LogCapture log;
  EqFct eq("CANTEST");
  Node motor(&eq);
  ASSERT_EQ(motor.init(0x585), 0);
  ASSERT_EQ(motor.identity(0x1009), "r3");
  ASSERT_TRUE(clock.wait_for_sleepers(1));
  clock.advance(std::chrono::seconds(61));  // the supervision watches the healthy line

  // The daemon turns hostile; frames of the drive's heartbeat may still come.
  const NTCAN_HANDLE line_handle = motor.line()->handle();
  CAN_IF_STATUS st{};
  daemon.set_mode(GetParam());
  const long dead_after_ms = ms_until([&] { return canStatus(line_handle, &st) != NTCAN_SUCCESS; });
  std::printf("the status query failed %ld ms after the daemon turned hostile (echo time-out %d ms)\n", dead_after_ms,
              kEchoTimeoutMs);
  ASSERT_EQ(canStatus(line_handle, &st), NTCAN_SOCK_CONN_TIMEOUT);
  EXPECT_LE(dead_after_ms, kEchoTimeoutMs + kSlackMs);
  EXPECT_EQ(ntcan_socketcand::counters().echo_timeouts, 1u);

  // Two failed status queries close the line; the reopen attempts meet a
  // daemon that breaks off the handshake.
  daemon.set_mode(Mode::CloseMidHandshake);
  clock.advance(std::chrono::seconds(2));
  EXPECT_EQ(motor.line()->handle(), -1);
  const int connections = daemon.connections();
  clock.advance(std::chrono::seconds(15 + 1 + 2));
  EXPECT_GT(daemon.connections(), connections) << "reopen attempts";
  EXPECT_EQ(motor.line()->handle(), -1);
  EXPECT_EQ(log.texts("canOpen returned: ").at(0), "Line : 1mess: NTCAN_SOCK_CMD_TIMEOUT(0x00000181)");

  daemon.set_mode(Mode::Healthy);
  for (int s = 0; s < 10 && motor.line()->handle() <= 0; ++s) clock.advance(std::chrono::seconds(1));
  ASSERT_GT(motor.line()->handle(), line_handle);
  EXPECT_TRUE(motor.handle_stale());
  ASSERT_EQ(motor.reattach(), 0);
  EXPECT_EQ(motor.identity(0x1008), "DC-200 drive controller");
  EXPECT_EQ(log.count("2. canStatus returned: "), 1u);
  EXPECT_TRUE(gateway.calls().empty()) << "the daemon's host was reachable all along";
}

INSTANTIATE_TEST_SUITE_P(Faults, HostileDaemonTest,
                         testing::Values(Mode::StallMidLine, Mode::StopReading, Mode::Garbage),
                         [](const testing::TestParamInfo<Mode>& i) {
                           return i.param == Mode::StallMidLine  ? "StallsMidLine"
                                  : i.param == Mode::StopReading ? "StopsReading"
                                                                 : "SendsGarbage";
                         });

TEST_F(HostileDaemonTest, AQuietHealthyLinkIsAskedEveryHalfTimeOutAndLivesOnAStalledGreetingEndsCanOpenWithinIt) {
  NTCAN_HANDLE h = NTCAN_NO_HANDLE;
  ASSERT_EQ(canOpen(0, 0, 10, 100, 1000, 1000, &h), NTCAN_SUCCESS);
  CAN_IF_STATUS st{};
  std::this_thread::sleep_for(milliseconds(3 * kEchoTimeoutMs));  // real time: the link's own clock
  EXPECT_EQ(canStatus(h, &st), NTCAN_SUCCESS);
  EXPECT_GE(daemon.echo_requests(), 3 * kEchoTimeoutMs / (kEchoTimeoutMs / 2)) << "one on connecting, then every T/2";
  EXPECT_EQ(ntcan_socketcand::counters().echo_timeouts, 0u);

  // A dead link fails every call on its handles; a reader waiting on one
  // returns at once.
  CMSG m{};
  int32_t n = 1;
  std::thread reader([&] { EXPECT_EQ(canRead(h, &m, &n, nullptr), NTCAN_SOCK_CONN_TIMEOUT); });
  daemon.set_mode(Mode::StallMidLine);
  reader.join();
  n = 1;
  EXPECT_EQ(canTake(h, &m, &n), NTCAN_SOCK_CONN_TIMEOUT);
  n = 1;
  EXPECT_EQ(canSend(h, &m, &n), NTCAN_SOCK_CONN_TIMEOUT);
  EXPECT_EQ(canIdAdd(h, 0x585), NTCAN_SOCK_CONN_TIMEOUT);

  // Reconnecting meets a daemon that stalls in the middle of its greeting.
  daemon.set_mode(Mode::StallMidHandshake);
  NTCAN_HANDLE second = NTCAN_NO_HANDLE;
  NTCAN_RESULT opened = NTCAN_SUCCESS;
  const long open_ms = ms_until([&] { return (opened = canOpen(0, 0, 10, 100, 1000, 1000, &second)) != NTCAN_SUCCESS; });
  EXPECT_EQ(opened, NTCAN_SOCK_CMD_TIMEOUT);
  EXPECT_GE(open_ms, kEchoTimeoutMs - 10);
  EXPECT_LE(open_ms, kEchoTimeoutMs + kSlackMs);
  EXPECT_EQ(canClose(h), NTCAN_SUCCESS);
}

}  // namespace
