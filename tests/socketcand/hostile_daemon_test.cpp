// libVORBEL on the driver over socketcand against a daemon that turns
// hostile, in front of ntcan_sim_server with a simulated drive as node 5.
#include <gtest/gtest.h>
#include <stdlib.h>

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
using std::chrono::seconds;
using testsupport::ms_until;
constexpr int kEchoTimeoutMs = 300;
constexpr int kSlackMs = 250;  // granted to a loaded machine beyond the driver's bound

struct Node : D_can {
  explicit Node(EqFct* eq) : D_can("MOTOR", eq) {
    IIII a{1, 5, 0, 0};
    set_value(&a);
    has_changed();
  }
  NTCAN_HANDLE line_handle() const { return pline_->handle(); }
  std::string identity(int index) {
    char buf[64] = {};
    const int r = segSdoRead(5, index, 0, buf, sizeof buf);
    return r == 0 ? buf : "failed with " + std::to_string(r);
  }
};

struct Fault {
  const char* name;
  Mode while_up, while_reopening;
};

class HostileDaemonTest : public testing::TestWithParam<Fault> {
 protected:
  testsupport::FakeGateway gateway;  // a gateway reset never leaves the machine
  testsupport::ChildProcess server{VORBEL_SIM_SERVER, {"--device", "0:5:100"}};  // heartbeats every 100 ms
  testsupport::HostileDaemon daemon{testsupport::served_port(server)};
};

TEST_P(HostileDaemonTest, IsFoundDeadWithinTheEchoTimeOutAndTheLineComesBackWhenItIsHealthyAgain) {
  setenv("NTCAN_SOCKETCAND",
         ("0=127.0.0.1:" + std::to_string(daemon.port()) + " echo_timeout_ms=" + std::to_string(kEchoTimeoutMs)).c_str(), 1);
  telvo::ManualClock& clock = telvo::install_manual_clock();
  clock.drive_from_this_thread();
  telvo::LogCapture log;
  EqFct eq("CANTEST");
  Node motor(&eq);
  ASSERT_EQ(motor.init(0x585), 0);
  ASSERT_TRUE(clock.wait_for_sleepers(1));
  clock.advance(seconds(61));  // the supervision watches the line

  // Healthy, the link outlives its echo time-out; hostile, it is dead within it.
  const NTCAN_HANDLE line = motor.line_handle();
  CAN_IF_STATUS st{};
  auto query_fails = [&] { return canStatus(line, &st) != NTCAN_SUCCESS; };
  EXPECT_GE(ms_until(query_fails, 2 * kEchoTimeoutMs), 2 * kEchoTimeoutMs);
  CMSG m{};
  int32_t n = 1;
  std::thread reader([&] {  // on the line's handle, with its time-out of 1 s
    EXPECT_LT(ms_until([&] { return canRead(line, &m, &n, nullptr) == NTCAN_SOCK_CONN_TIMEOUT; }, 0),
              kEchoTimeoutMs + kSlackMs);
  });
  daemon.set_mode(GetParam().while_up);
  const long dead_ms = ms_until(query_fails);
  std::printf("the status query failed %ld ms after the daemon turned hostile\n", dead_ms);
  EXPECT_LE(dead_ms, kEchoTimeoutMs + kSlackMs);
  EXPECT_EQ(canStatus(line, &st), NTCAN_SOCK_CONN_TIMEOUT);
  EXPECT_EQ(ntcan_socketcand::counters().echo_timeouts, 1u);
  reader.join();
  EXPECT_EQ(canIdAdd(line, 0x123), NTCAN_SOCK_CONN_TIMEOUT) << "so does every other call";

  // Two failed queries close the line; its reopen attempts fail.
  daemon.set_mode(GetParam().while_reopening);
  clock.advance(seconds(2));
  EXPECT_EQ(motor.line_handle(), -1);
  const int connections = daemon.connections();
  clock.advance(seconds(15 + 1 + 2));
  EXPECT_GT(daemon.connections(), connections);
  EXPECT_EQ(log.texts("canOpen returned: ").at(0), "Line : 1mess: NTCAN_SOCK_CMD_TIMEOUT(0x00000181)");

  daemon.set_mode(Mode::Healthy);
  for (int s = 0; s < 10 && motor.line_handle() <= 0; ++s) clock.advance(seconds(1));
  ASSERT_GT(motor.line_handle(), line);
  ASSERT_EQ(motor.reattach(), 0);
  EXPECT_EQ(motor.identity(0x1008), "DC-200 drive controller");
}

INSTANTIATE_TEST_SUITE_P(
    Daemon, HostileDaemonTest,
    testing::Values(Fault{"StallsMidLineThenClosesMidHandshake", Mode::StallMidLine, Mode::CloseMidHandshake},
                    Fault{"StopsReadingThenStallsMidHandshake", Mode::StopReading, Mode::StallMidHandshake},
                    Fault{"SendsGarbageThenClosesMidHandshake", Mode::Garbage, Mode::CloseMidHandshake}),
    [](const testing::TestParamInfo<Fault>& i) { return i.param.name; });

}  // namespace
