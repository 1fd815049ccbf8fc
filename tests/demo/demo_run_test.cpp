// The demo server run as a newcomer runs it: what it prints, how it ends and
// what it leaves behind. The program is the build's vorbel_demo
// (VORBEL_DEMO_PROGRAM); runs are short and on a faster framework clock.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <regex>
#include <sstream>

#include "demo_process.h"
#include "test_support.h"

using testsupport::DemoProcess;
using testsupport::read_file;
using testsupport::TempDir;

namespace {

const std::string kDemo = VORBEL_DEMO_PROGRAM;
const std::string kSample = VORBEL_DEMO_SAMPLE;

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// Index of the first line from `from` on that matches `pattern`, or -1.
int find_line(const std::vector<std::string>& lines, const std::string& pattern, int from = 0) {
  const std::regex re(pattern);
  for (int i = from < 0 ? 0 : from; i < static_cast<int>(lines.size()); ++i) {
    if (std::regex_search(lines[static_cast<size_t>(i)], re)) return i;
  }
  return -1;
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace

TEST(DemoServer, ShowsTheIdentitiesTheAliveStatesOfAStopAndStartTheEmergencyAndASilentNode) {
  TempDir dir;
  const std::string sample_before = read_file(kSample);
  DemoProcess demo(kDemo,
                   {"--seconds", "2.5", "--time-scale", "4", "--config", kSample, "--save", dir.file("saved.conf")},
                   {"NTCAN_SIM_TRACE_FILE=" + dir.file("env-trace.log")});
  ASSERT_TRUE(demo.started());
  ASSERT_EQ(demo.finish(30), 0) << demo.output();
  const std::string& out = demo.output();
  const auto lines = lines_of(out);

  // The identity strings, uploaded by SDO from the simulated devices: the
  // pump's two-byte hardware version expedited, the other texts segmented.
  EXPECT_TRUE(contains(out, "sdo     MOTOR  get_manufacture()=0  get_hwversion()=0  get_swversion()=0:  "
                            "MANU \"DC-200 drive controller\"  HWVER \"rev C\"  SWVER \"2.4.1\""))
      << out;
  EXPECT_TRUE(contains(out, "MANU \"PX-40 coolant pump\"  HWVER \"r3\"  SWVER \"1.12.0\"")) << out;
  EXPECT_TRUE(contains(out, "MANU \"VX-3 valve terminal\"  HWVER \"B2\"  SWVER \"3.0.7\"")) << out;
  EXPECT_GE(find_line(lines, "init +MOTOR_VIEW .*follower of MOTOR"), 0) << out;

  // The client's stop and start, and the valve's alive state after each.
  const int running = find_line(lines, R"(node +VALVE +ALIVE +5 +CONDITION "Operational")");
  const int stop = find_line(lines, "client +operator@console sets VALVE.STOP = 1");
  const int stopped = find_line(lines, R"(node +VALVE +ALIVE +4 +CONDITION "Stopped")", stop);
  const int start = find_line(lines, "client +operator@console sets VALVE.START = 1", stopped);
  const int running_again = find_line(lines, R"(node +VALVE +ALIVE +5 +CONDITION "Operational")", start);
  EXPECT_TRUE(running >= 0 && running < stop && stop < stopped && stopped < start && start < running_again)
      << running << " " << stop << " " << stopped << " " << start << " " << running_again << "\n"
      << out;

  // The library's log line of the drive's emergency, and the silent pump.
  EXPECT_TRUE(contains(out, "log     D_can::can_emergency  0x10 0x32 0x4 0x12 0x34 0x0 0x0 0x0")) << out;
  EXPECT_GE(find_line(lines, "PUMP  nothing heard for 2 s, yet .ALIVE keeps its last value"), 0) << out;

  // Saved on exit to the file asked for; the sample untouched.
  const std::string saved = read_file(dir.file("saved.conf"));
  EXPECT_TRUE(contains(saved, "eq_fct: CANDEMO\n")) << saved;
  EXPECT_TRUE(contains(saved, "VALVE: \t2  7  0  0\n")) << saved;
  EXPECT_TRUE(contains(saved, "MOTOR.BAUDRATE: \t2\n")) << saved;
  EXPECT_EQ(read_file(kSample), sample_before);

  // NTCAN_SIM_TRACE_FILE had the simulated driver write the run's frames:
  // the upload request of node 5's device name, the client's NMT stop.
  const std::string trace = read_file(dir.file("env-trace.log"));
  EXPECT_TRUE(contains(trace, " can0 605#4008100000000000\n")) << trace.substr(0, 2000);
  EXPECT_TRUE(contains(trace, " can1 000#0207\n")) << trace.substr(0, 2000);
}

TEST(DemoServer, CtrlCEndsTheRunAtOnceCleanlyAndNeverSavesOverTheShippedSample) {
  const std::string sample_before = read_file(kSample);
  DemoProcess demo(kDemo, {"--seconds", "60", "--config", kSample});
  ASSERT_TRUE(demo.wait_for("server loop running", 20)) << demo.output();
  const auto signalled = std::chrono::steady_clock::now();
  demo.signal(SIGINT);
  ASSERT_EQ(demo.finish(10), 0) << demo.output();
  EXPECT_LT(std::chrono::steady_clock::now() - signalled, std::chrono::seconds(3));

  const std::string& out = demo.output();
  EXPECT_TRUE(contains(out, "stopped by Ctrl-C")) << out;
  EXPECT_TRUE(contains(out, "not saving over the shipped sample")) << out;
  EXPECT_EQ(read_file(kSample), sample_before);

  // The scratch directory with the stand-in wget is gone.
  std::smatch m;
  ASSERT_TRUE(std::regex_search(out, m, std::regex("working directory (\\S+):"))) << out;
  struct stat st;
  EXPECT_NE(stat(m[1].str().c_str(), &st), 0) << m[1];
}

TEST(DemoServer, ALineOutageClosesTheLineResetsTheGatewayAndTheStaleNodesAreInitialisedAgain) {
  TempDir dir;
  DemoProcess demo(kDemo, {"--fault", "--seconds", "1", "--time-scale", "50", "--config", kSample, "--save",
                           dir.file("saved.conf")});
  ASSERT_EQ(demo.finish(30), 0) << demo.output();
  const std::string& out = demo.output();
  const auto lines = lines_of(out);

  // In this order: the fault, the supervision closing the line, the failed
  // reopen, the gateway reset through the stand-in wget, the reopen and the
  // device code's answer to it. A log line of the library comes after the
  // step it reports, so it may follow what the demo shows of that step.
  const auto at = [&lines](const std::string& pattern) { return find_line(lines, pattern); };
  const int fault = at("bus +line 1 \\(net 0\\) loses its network gateway");
  const int close_logged = at("2\\. canStatus returned: +Line : 1mess: NTCAN_SOCK_CONN_TIMEOUT");
  const int closed = at("line +MOTOR  line 1 is closed");
  const int reopen_failed = at("canOpen returned: +Line : 1mess: NTCAN_SOCK_CONN_TIMEOUT");
  const int reset_logged =
      at("system called with : +wget --post-data=\"FWUpdReset=1\" http://[^ ]*@127\\.000\\.000\\.001/Forms/Firmware");
  const int reset = at("gateway the stand-in wget got \\(and sent nothing\\): wget --post-data=FWUpdReset=1");
  const int reopened = at("line +MOTOR  line 1 is open again; the node holds handle 1$");
  const int stale = at("reinit +MOTOR  can_array\\(\\)=77 NTCAN_INVALID_HANDLE");
  const int fresh = at("reinit +MOTOR  can_close\\(\\)=.*init\\(0x585\\)=0  init_emergency\\(\\)=0  init\\(0x705\\)=0: new handle");
  const int follower = at("reinit +MOTOR_VIEW  .*follows MOTOR to handle");
  EXPECT_GE(fault, 0) << out;
  EXPECT_TRUE(fault < close_logged && fault < closed) << out;
  EXPECT_TRUE(close_logged < reopen_failed && closed < reopen_failed) << out;
  EXPECT_TRUE(reopen_failed < reset_logged && reopen_failed < reset) << out;
  EXPECT_TRUE(reset_logged < reopened && reset < reopened) << out;
  EXPECT_TRUE(reopened < stale && stale < fresh && fresh < follower) << out;

  // The pump's own handle outlived the line's: nothing to re-initialise.
  EXPECT_GE(find_line(lines, "line +PUMP  can_array\\(\\)=0 with handle 2: a handle of its own"), 0) << out;

  // The drive is served on its new handle to the end of the run.
  std::smatch m;
  ASSERT_TRUE(std::regex_search(out, m, std::regex("MOTOR  can_close.*: new handle (\\d+)"))) << out;
  EXPECT_GE(find_line(lines, "final +MOTOR +ALIVE +5 .*handle " + m[1].str() + " "), 0) << out;
}
