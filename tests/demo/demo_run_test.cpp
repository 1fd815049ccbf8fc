// The demo server run as a user runs it: what it prints and how it ends.
// The program is the build's vorbel_demo (VORBEL_DEMO_PROGRAM).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <regex>
#include <sstream>
#include <thread>

#include "test_support.h"
#include "wire_client.h"

extern char** environ;

namespace {

using testsupport::read_file;

const std::string kSample = VORBEL_DEMO_SAMPLE;

// Starts the demo with `args`, its standard output and error going to `out`.
pid_t start_demo(std::vector<std::string> args, const std::string& out,
                 const std::string& program = VORBEL_DEMO_PROGRAM) {
  args.insert(args.begin(), program);
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_addopen(&files, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&files, 1, 2);
  pid_t pid = -1;
  posix_spawn(&pid, argv[0], &files, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&files);
  return pid;
}

// The demo's exit code; -1 when a signal ended it.
int exit_code(pid_t pid) {
  int status = 0;
  return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Lines that match `pattern`.
int count_lines(const std::string& out, const std::string& pattern) {
  const std::regex re(pattern);
  std::istringstream lines(out);
  int n = 0;
  for (std::string line; std::getline(lines, line);) n += std::regex_search(line, re) ? 1 : 0;
  return n;
}

// Each pattern matches a line after the line of the one before.
void expect_lines_in_order(const std::string& out, const std::vector<std::string>& patterns) {
  std::istringstream lines(out);
  std::string line;
  for (const std::string& pattern : patterns) {
    const std::regex re(pattern);
    while (std::getline(lines, line) && !std::regex_search(line, re)) {
    }
    ASSERT_TRUE(lines) << "no line /" << pattern << "/ after the ones before:\n" << out;
  }
}

}  // namespace

// In order: the identities read by SDO (the pump's hardware version
// expedited, the rest segmented, the drive's first transfer timed on the
// bus at 1 Mbit/s; the identity objects as numbers), the heartbeats
// switched on by download, the valve terminal's entries read by name from
// its data sheet and a write above a limit refused, the drive's PDOs
// configured, its program downloaded by block transfer with its progress
// and its parameters stored, SYNC started; the valve's state around the
// client's stop and start, the drive's position and velocity from its
// transmit PDO and the set-point a client sent in a receive PDO seen
// applied; the emergency decoded from the queue and the error history read
// after it; the valve's heartbeat time a client changed, the silent pump
// lost, the rebooted drive started again by the device code and its
// transmit PDO back from its stored parameters; then line 1's outage,
// closed and reopened as its notices tell, with every node on it
// reattached by the library (the follower to its master's new handle) and
// heard again, and the library shut down at the end, with the lines' bus
// load and the drive's process data.
TEST(DemoServer, ShowsIdentitiesDataSheetProcessDataProgramEmergenciesAndAReboot_ThenRecoversFromALineOutage) {
  testsupport::TempDir dir;
  const pid_t demo = start_demo(
      {"--fault", "--seconds", "2.5", "--time-scale", "50", "--config", kSample, "--trace", dir.file("bus.log")},
      dir.file("out.txt"));
  const int exit = exit_code(demo);
  const std::string out = read_file(dir.file("out.txt"));
  ASSERT_EQ(exit, 0) << out;
  expect_lines_in_order(out, {
      R"(init +MOTOR  .*emergency_queue\(16\)=0: master of line 1 node 5)",
      R"(line +canline_on_change\(1\)=\d+: told of the line's closes and reopens)",
      R"(bus +SDO upload of 0x1008, node 5 on line 1: 10 frames in [\d.]+ ms \(their bits: 1\.21 ms at 1000 kbit/s\))",
      R"(sdo +MOTOR +get_manufacture\(\)=0  get_hwversion\(\)=0  get_swversion\(\)=0:  )"
      R"(MANU "DC-200 drive controller"  HWVER "rev C"  SWVER "2\.4\.1")",
      R"(sdo +PUMP .*MANU "PX-40 coolant pump"  HWVER "r3"  SWVER "1\.12\.0")",
      R"(sdo +VALVE .*MANU "VX-3 valve terminal"  HWVER "B2"  SWVER "3\.0\.7")",
      R"(sdo +MOTOR +0x1018 by sdo_upload:  vendor id 0x000000DC  product code 0x00000200  revision 0x00020004  )"
      R"(serial number 20417)",
      R"(sdo +MOTOR +HEARTBEAT 1000: sdo_download\(0x1017\)=0  sdo_upload\(0x1017\)=0: .* every 1000 ms)",
      R"(sdo +VALVE +HEARTBEAT 500: sdo_download\(0x1017\)=0 .* every 500 ms)",
      R"(pdo +MOTOR  pdo_write\(transmit PDO 1\)=0: COB-ID 0x185 .*bind_tpdo\(0x185\)=0)",
      R"(pdo +MOTOR  pdo_write\(receive PDO 1\)=0: COB-ID 0x205)",
      R"(program MOTOR  0x1F50 by block download: \d+ of 6144 bytes \(\d+ %\))",
      R"(program MOTOR  0x1F50 by block download: 6144 of 6144 bytes \(100 %\))",
      R"(program MOTOR  program_download\(1, 6144 bytes\)=0: .*0x1F56 reads 0x0000[0-9A-F]{4}, the image's CRC)",
      R"(sdo +MOTOR  store_parameters\(\)=0)",
      R"(od +VALVE  load_file\(vx3_valve_terminal\.eds\): VX-3 valve terminal, 12 objects, 18 entries, 0 warnings)",
      R"(od +VALVE  read by name:  Device type 0x00020191  Identity\.Vendor-ID 0x00000C3A  Identity\.Serial number 911  )"
      R"(COB-ID EMCY 0x00000087  Valve count 16  Supply pressure 6000  Output settings\.Holding current 60)",
      R"(log +NodeDictionary  write of 'Output settings\.Holding current' \(0x2100/2\): 120 is above HighLimit 100)",
      R"(od +VALVE  write\("Output settings\.Holding current", 45\)=0  write\(.*, 120\)=22 .*refused before)",
      R"(pdo +canline_sync_start\(1\)=0: SYNC on 0x80 every 100 ms)",
      R"(demo +line 1 \(net 0\): baud-rate code 0 \(1000 kbit/s\), line 2 \(net 1\): baud-rate code 4 \(250 kbit/s\))",
      R"(node +VALVE +ALIVE +5 +CONDITION "Operational".* HB 500ms)",
      R"(client +operator@console sets VALVE\.STOP = 1)",
      R"(node +VALVE +ALIVE +4 +CONDITION "Stopped")",
      R"(client +operator@console sets VALVE\.START = 1)",
      R"(node +VALVE +ALIVE +5 +CONDITION "Operational")",
      R"(client +operator@console sets MOTOR\.VELOCITY = 250)",
      R"(pdo +MOTOR  VELOCITY 250: pdo_send\(0x205\)=0)",
      R"(pdo +MOTOR  transmit PDO 0x185: velocity 250, position \d+, taken \d+ ms after .*applied the set-point)",
      R"(device +node 5 on net 0 sends an emergency)",
      R"(log +D_can::can_emergency  0x10 0x32 0x5 0x12 0x34 0x0 0x0 0x0)",
      R"(emcy +MOTOR  take_emergency\(\): node 5: 0x3210 voltage inside the device, register 0x05: generic, voltage; )"
      R"(manufacturer bytes 12 34 00 00 00)",
      R"(emcy +MOTOR  read_error_history\(\)=0: 0x1003 holds 1 error, newest first: 0x3210 )"
      R"(\(additional information 0x3412\) voltage inside the device)",
      R"(client +operator@console sets VALVE\.HEARTBEAT = 1000)",
      R"(sdo +VALVE +HEARTBEAT 1000: sdo_download\(0x1017\)=0 .* every 1000 ms)",
      R"(node +VALVE .* HB 1000ms)",
      R"(alive +VALVE +consumer_timeout_ms\(1500\): 1\.5 x its new period)",
      R"(device +node 6 on net 0 falls silent)",
      R"(alive +PUMP  lost\(\): nothing heard for .* \.CONDITION "No heartbeat")",
      R"(node +PUMP +ALIVE +\d+ +CONDITION "No heartbeat")",
      R"(device +node 5 on net 0 reboots)",
      R"(alive +MOTOR  booted\(\): node 5 sent a boot-up frame .*; start_node\(\)=0)",
      R"re(node +MOTOR +ALIVE +(0|127) +CONDITION "(Boot-up|Preoperational)")re",
      R"(pdo +MOTOR  transmit PDO 0x185 comes again after the reboot)",
      R"(node +MOTOR +ALIVE +5 +CONDITION "Operational")",
      R"(bus +line 1 \(net 0\) loses its network gateway)",
      R"(line +line 1 \(generation \d+\) closed, .*: MOTOR, MOTOR_VIEW, PUMP return 77 until it reopens)",
      R"(node +MOTOR +.* handle -1 )",
      R"(canOpen returned: +Line : 1mess: NTCAN_SOCK_CONN_TIMEOUT)",
      R"(gateway the stand-in wget got \(and sent nothing\): wget --post-data=FWUpdReset=1)",
      R"(line +line 1 \(generation \d+\) reopened; the library reattached its nodes \(auto_reattach\): )"
      R"(MOTOR handle (\d+), MOTOR_VIEW handle \1, PUMP handle \d+)",
      R"(alive +MOTOR  is heard again)",
      R"(bus +line 1 1000 kbit/s: load [\d.]+ %, \d+ frames, 0 lost   line 2 250 kbit/s)",
      R"(pdo +MOTOR PDO 0x185: position \d+ velocity 250, \d+ decoded, 0 of another length   )"
      R"(SYNC line 1: \d+ sent, mean interval [\d.]+ ms)",
      R"(demo +canline_shutdown\(\): the supervision threads have stopped)",
  });
  // The line notices come once each: one close, one reopen.
  EXPECT_EQ(count_lines(out, R"(line +line 1 \(generation \d+\) closed)"), 1) << out;
  EXPECT_EQ(count_lines(out, R"(line +line 1 \(generation \d+\) reopened)"), 1) << out;
  // The program's image went as one block transfer (seven blocks of 127
  // segments at most, each acknowledged); the bus watch reports it when the
  // node's end answer passes, beside the progress lines.
  EXPECT_EQ(count_lines(out, R"(bus +SDO block download of 0x1F50, node 5 on line 1: 889 frames in [\d.]+ ms )"
                             R"(\(their bits: [\d.]+ ms at 1000 kbit/s\))"),
            1)
      << out;
  // The drive moves: its position never goes back from row to row (it
  // stands while the line is closed) and ends far from where it was first.
  std::vector<long long> positions;
  std::smatch row;
  const std::regex motor_row(R"(node +MOTOR +.* POSITION (\d+) )");
  for (auto at = out.cbegin(); std::regex_search(at, out.cend(), row, motor_row); at = row.suffix().first) {
    if (!positions.empty()) {
      EXPECT_GE(std::stoll(row[1]), positions.back()) << row[0];
    }
    positions.push_back(std::stoll(row[1]));
  }
  ASSERT_GE(positions.size(), 2u) << out;
  EXPECT_GT(positions.back(), positions.front()) << out;
  // From the first row on, the follower shows its master's state.
  const std::regex state("node +(MOTOR|MOTOR_VIEW) +(ALIVE +\\d+ +CONDITION \"[^\"]*\")");
  std::smatch master, follower;
  ASSERT_TRUE(std::regex_search(out, master, state) && master[1] == "MOTOR") << out;
  ASSERT_TRUE(std::regex_search(master.suffix().first, out.cend(), follower, state)) << out;
  EXPECT_EQ(follower[2], master[2]) << out;
  const std::string trace = read_file(dir.file("bus.log"));
  EXPECT_NE(trace.find(" can1 000#0207\n"), std::string::npos) << "the trace has the NMT stop";
  EXPECT_NE(trace.find(" can0 205#FA000000\n"), std::string::npos) << "the trace has the set-point's receive PDO";
  EXPECT_NE(trace.find(" can0 080#\n"), std::string::npos) << "the trace has SYNC frames";
}

TEST(DemoServer, CtrlCEndsTheRunAtOnceCleanlyServedNetsIncludedAndNeverSavesOverTheShippedSample) {
  const std::string sample_before = read_file(kSample);
  testsupport::TempDir dir;
  const pid_t demo = start_demo({"--seconds", "60", "--config", kSample, "--serve", "0"}, dir.file("out.txt"));
  for (int i = 0; i < 2000 && read_file(dir.file("out.txt")).find("server loop running") == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  // A socketcand client of net 0 sees the drive's heartbeat.
  std::smatch served;
  const std::string started = read_file(dir.file("out.txt"));
  ASSERT_TRUE(std::regex_search(started, served, std::regex("nets served on 127\\.0\\.0\\.1:(\\d+)"))) << started;
  testsupport::WireClient watcher(static_cast<uint16_t>(std::stoi(served[1])));
  ASSERT_TRUE(watcher.open_raw(0));
  std::string frame;
  for (int i = 0; i < 100 && frame.rfind("< frame 705 ", 0) != 0; ++i) frame = watcher.next();
  EXPECT_TRUE(std::regex_match(frame, std::regex(R"(< frame 705 \d+\.\d{6} (05|7F) >)"))) << frame;
  const auto signalled = std::chrono::steady_clock::now();
  kill(demo, SIGINT);
  const int exit = exit_code(demo);
  EXPECT_LT(std::chrono::steady_clock::now() - signalled, std::chrono::seconds(3));
  const std::string out = read_file(dir.file("out.txt"));
  ASSERT_EQ(exit, 0) << out;
  EXPECT_NE(out.find("stopped by Ctrl-C"), std::string::npos) << out;
  // Frames sent before the end may still come; then the connection closes.
  std::string last = watcher.next();
  for (int i = 0; i < 100 && last.rfind("< frame ", 0) == 0; ++i) last = watcher.next();
  EXPECT_EQ(last, "EOF");
  EXPECT_EQ(read_file(kSample), sample_before);
  // The scratch directory with the stand-in wget is gone.
  std::smatch m;
  ASSERT_TRUE(std::regex_search(out, m, std::regex("working directory (\\S+):"))) << out;
  struct stat st;
  EXPECT_NE(stat(m[1].str().c_str(), &st), 0) << m[1];
}

// Bad input ends the demo with one line that names it, before anything else
// is printed; a run whose configuration cannot be saved fails too.
TEST(DemoServer, BadInputOrAFailedSaveEndsItWithAnErrorNamingTheCause) {
  testsupport::TempDir dir;
  const struct {
    std::vector<std::string> args;
    int exit;
    std::string line;
  } cases[] = {
      {{"--config", dir.file("none.conf")}, 1, "configuration: cannot open configuration file '" + dir.file("none.conf")},
      {{"--config", dir.path()}, 1, "configuration: '" + dir.path() + "' is a directory"},
      {{"--seconds", "1", "--bogus"}, 2, "unknown option '--bogus'"},
      {{"--config"}, 2, "--config needs a value"},
      {{"--serve", "70000"}, 2, "--serve 70000: expected a port 0..65535"},
  };
  for (const auto& c : cases) {
    const int exit = exit_code(start_demo(c.args, dir.file("out.txt")));
    const std::string out = read_file(dir.file("out.txt"));
    EXPECT_EQ(exit, c.exit) << out;
    EXPECT_EQ(out.rfind("vorbel_demo: " + c.line, 0), 0u) << out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
  }
  const int exit = exit_code(start_demo(
      {"--seconds", "0.2", "--time-scale", "20", "--config", kSample, "--save", dir.path()}, dir.file("out.txt")));
  const std::string out = read_file(dir.file("out.txt"));
  EXPECT_EQ(exit, 1) << out;
  EXPECT_NE(out.find("demo    configuration not saved: "), std::string::npos) << out;
}

// The data sheet lies beside the program. Without it, or with one that
// cannot be read, the valve terminal is read without it and its simulated
// device keeps its built-in entries: the run goes on and ends as usual.
TEST(DemoServer, WithoutAReadableDataSheetTheValveRunsOnItsBuiltInEntries) {
  const struct {
    const char* what;
    const char* sheet;  // null: none beside the program
  } cases[] = {{"missing", nullptr}, {"malformed", "[1000\nParameterName=Device type\n"}};
  for (const auto& c : cases) {
    testsupport::TempDir dir;
    const std::string program = dir.file("vorbel_demo");
    std::filesystem::copy_file(VORBEL_DEMO_PROGRAM, program);
    if (c.sheet) testsupport::write_file(dir.file("vx3_valve_terminal.eds"), c.sheet);
    const int exit = exit_code(start_demo({"--seconds", "0.5", "--time-scale", "20", "--config", kSample, "--save",
                                           dir.file("saved.conf")},
                                          dir.file("out.txt"), program));
    const std::string out = read_file(dir.file("out.txt"));
    ASSERT_EQ(exit, 0) << c.what << "\n" << out;
    expect_lines_in_order(out, {
        R"(demo +simulated devices: .*node 7's dictionary built in \(.*vx3_valve_terminal\.eds)",
        R"(sdo +VALVE .*MANU "VX-3 valve terminal")",
        R"(od +VALVE  load_file\(vx3_valve_terminal\.eds\): .*vx3_valve_terminal\.eds.*; the node runs without its data sheet)",
        R"(nmt +VALVE  start_node\(\)=0)",
        R"(demo +canline_shutdown\(\))",
    });
    EXPECT_EQ(out.find("read by name"), std::string::npos) << c.what << "\n" << out;
  }
}
