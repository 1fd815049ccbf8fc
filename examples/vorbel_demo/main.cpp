// vorbel_demo: a small TELVO server whose device code reaches four CANopen
// nodes on two CAN lines with libVORBEL, run on the project's stand-ins for
// the framework and the NTCAN driver, with simulated CANopen devices on the
// simulated nets. See `vorbel_demo --help`.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <string>

#include "bus.h"
#include "bus_watch.h"
#include "display.h"
#include "ntcan_sim.h"
#include "sandbox.h"
#include "server.h"
#include "telvo_clock.h"
#include "telvo_log.h"

namespace {

const char kUsage[] =
    "usage: vorbel_demo [options]\n"
    "\n"
    "A TELVO server with four CANopen nodes on two simulated CAN lines. Device\n"
    "code initialises the nodes, reads their identities by SDO, switches their\n"
    "heartbeats on, reads the valve terminal's entries by name from its data\n"
    "sheet, configures the drive's PDOs, downloads its program, stores its\n"
    "parameters, produces SYNC on its line and runs the server loop; a scripted\n"
    "client stops and starts a node through its .STOP and .START properties, sets\n"
    "the drive's set-point through .VELOCITY and a heartbeat time through\n"
    ".HEARTBEAT, a device sends an emergency and later reboots, another one falls\n"
    "silent.\n"
    "\n"
    "  --seconds N         length of the run in seconds of wall time (default 8);\n"
    "                      the client session's steps are spread over it\n"
    "  --time-scale X      run the framework clock X times faster than real time\n"
    "                      (default: TELVO_TIME_SCALE when set, else 1, with\n"
    "                      --fault 20)\n"
    "  --fault             after the client session, an outage of line 1: its\n"
    "                      status queries and reopens fail, the supervision thread\n"
    "                      closes the line, asks its gateway for a reset and reopens\n"
    "                      it once the gateway is back; the run lasts until then\n"
    "  --trace FILE        write every frame of the simulated nets to FILE, in the\n"
    "                      candump log format (can-utils, python-can read it)\n"
    "  --trace-check FILE  at the end, write the simulated driver's own trace to\n"
    "                      FILE: 'seq time_us net id(hex) len-byte data(hex)...'\n"
    "  --config FILE       server configuration to load (default: vorbel_demo.conf\n"
    "                      beside the program, a copy of the shipped sample)\n"
    "  --save FILE         where the configuration is saved on exit (default: the\n"
    "                      file loaded)\n"
    "  --serve PORT        serve the simulated nets to socketcand clients on\n"
    "                      127.0.0.1:PORT (net N is the bus canN; 0: a free port)\n"
    "  --plain             plain lines even on a terminal\n"
    "  --help              this text\n"
    "\n"
    "Ctrl-C ends the run early; the configuration is saved all the same.\n";

constexpr double kLoadEveryS = 2;  // plain lines: the lines' bus load every 2 s of wall time

struct Options {
  double seconds = 8;
  double time_scale = 0;  // 0: the default
  bool fault = false;
  bool plain = false;
  std::string trace, trace_check, config, save;
  long serve = -1;  // socketcand port; -1: not served
};

std::atomic<bool> g_stop{false};
std::atomic<int> g_signal{0};
static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<int>::is_always_lock_free,
              "the stop flag is set from a signal handler");

extern "C" void on_signal(int sig) {
  g_signal = sig;
  g_stop = true;
}

const char* stop_reason() {
  switch (g_signal.load()) {
    case 0: return "run complete";
    case SIGINT: return "stopped by Ctrl-C";
    case SIGHUP: return "stopped: the terminal closed (SIGHUP)";
    default: return "stopped by SIGTERM";
  }
}

bool parse_number(const char* text, double* out) {
  char* end = nullptr;
  const double v = std::strtod(text, &end);
  if (end == text || *end != '\0' || !(v > 0) || v > 1e6) return false;
  *out = v;
  return true;
}

// 0: run; 1: exit 0 (help shown); 2: usage error, named in *error.
int parse(int argc, char** argv, Options* o, std::string* error) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool has_value = i + 1 < argc;
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return 1;
    } else if (a == "--fault") {
      o->fault = true;
    } else if (a == "--plain") {
      o->plain = true;
    } else if ((a == "--seconds" || a == "--time-scale") && has_value) {
      if (!parse_number(argv[++i], a == "--seconds" ? &o->seconds : &o->time_scale)) {
        *error = a + " " + argv[i] + ": expected a number above 0, at most 1000000";
        return 2;
      }
    } else if (a == "--trace" && has_value) {
      o->trace = argv[++i];
    } else if (a == "--trace-check" && has_value) {
      o->trace_check = argv[++i];
    } else if (a == "--serve" && has_value) {
      char* end = nullptr;
      o->serve = std::strtol(argv[++i], &end, 10);
      if (*end != '\0' || end == argv[i] || o->serve < 0 || o->serve > 65535) {
        *error = a + " " + argv[i] + ": expected a port 0..65535";
        return 2;
      }
    } else if (a == "--config" && has_value) {
      o->config = argv[++i];
    } else if (a == "--save" && has_value) {
      o->save = argv[++i];
    } else {
      // An option of the usage text that got here is one whose value is
      // missing: it was the last argument.
      const bool known = a.compare(0, 2, "--") == 0 && std::strstr(kUsage, ("  " + a + " ").c_str());
      *error = known ? a + " needs a value" : "unknown option '" + a + "'";
      return 2;
    }
  }
  return 0;
}

std::string program_dir() {
  char buf[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  std::string path(buf, static_cast<std::size_t>(n));
  return path.substr(0, path.rfind('/'));
}

// Whether `path` names the sample configuration in the source tree, which
// the demo never overwrites.
bool is_shipped_sample(const std::string& path) {
  char a[PATH_MAX], b[PATH_MAX];
  return realpath(path.c_str(), a) && realpath(VORBEL_DEMO_SAMPLE_CONFIG, b) && std::strcmp(a, b) == 0;
}

// Why `path` is no configuration file to load; empty when it may be one.
// load_config reads whatever opens: a directory would load as an empty
// file, a FIFO or a device might never end. A missing file is left to
// load_config, which names it.
std::string not_a_file(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0 || S_ISREG(st.st_mode)) return "";
  return "'" + path + "' is " + (S_ISDIR(st.st_mode) ? "a directory" : "not a regular file");
}

void write_trace_check(const std::string& path) {
  std::ofstream out(path);
  out << "# seq time_us net id len data; frames dropped from the trace: " << ntcan_sim::trace_dropped() << '\n';
  for (const ntcan_sim::TraceEntry& e : ntcan_sim::trace()) {
    const CMSG& m = e.frame.msg;
    char head[96];
    std::snprintf(head, sizeof head, "%llu %lld %d %X %u", static_cast<unsigned long long>(e.seq),
                  static_cast<long long>(e.time_us), e.frame.net, static_cast<unsigned>(m.id),
                  static_cast<unsigned>(m.len));
    out << head;
    if (!(m.len & NTCAN_RTR)) {
      for (int k = 0; k < (m.len & NTCAN_DLC_MASK) && k < 8; ++k) {
        char b[4];
        std::snprintf(b, sizeof b, " %02X", m.data[k]);
        out << b;
      }
    }
    out << '\n';
  }
}

std::string baud_of_line(int line) {
  const auto handles = ntcan_sim::handles(line - 1);
  const auto baud = handles.empty() ? std::nullopt : ntcan_sim::baud_rate(handles.front());
  if (!baud) return "not open";
  char text[64];
  std::snprintf(text, sizeof text, "baud-rate code %u (%g kbit/s)", static_cast<unsigned>(*baud),
                1e6 / ntcan_sim::bit_time_ns(*baud));
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  std::string error;
  const int parsed = parse(argc, argv, &opt, &error);
  if (parsed == 1) return 0;
  if (parsed == 2) {
    std::fprintf(stderr, "vorbel_demo: %s (vorbel_demo --help lists the options)\n", error.c_str());
    return 2;
  }

  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);  // the terminal closed

  // The framework clock runs faster before anything sleeps on it: as the
  // option says, else as TELVO_TIME_SCALE says, else 20 for an outage.
  double scale = opt.time_scale;
  const char* env_scale = std::getenv("TELVO_TIME_SCALE");
  if (scale == 0 && !(env_scale && parse_number(env_scale, &scale))) scale = opt.fault ? 20 : 1;
  telvo::set_time_scale(scale);

  if (opt.config.empty()) opt.config = program_dir() + "/vorbel_demo.conf";
  opt.config = demo::absolute_path(opt.config);
  opt.save = opt.save.empty() ? opt.config : demo::absolute_path(opt.save);
  opt.trace = demo::absolute_path(opt.trace);
  opt.trace_check = demo::absolute_path(opt.trace_check);

  const char* term = std::getenv("TERM");
  const bool table = !opt.plain && isatty(STDOUT_FILENO) && term && *term && std::strcmp(term, "dumb") != 0;
  demo::Display display(table, "libVORBEL demo server CANDEMO");
  telvo::set_log_sink([&display](const telvo::LogEntry& e) { display.event("log", e.origin + "  " + e.text); });

  // The configuration first: a file that cannot be loaded ends the demo
  // before it prints anything else.
  EqFct eq("CANDEMO");
  const std::string data_dir = program_dir();
  demo::Server server(eq, display, data_dir);
  error = not_a_file(opt.config);
  if (!error.empty() || eq.load_config(opt.config, &error) != 0) {
    std::fprintf(stderr, "vorbel_demo: configuration: %s\n", error.c_str());
    telvo::set_log_sink(nullptr);
    return 1;
  }

  std::unique_ptr<demo::Sandbox> sandbox;
  try {
    sandbox = std::make_unique<demo::Sandbox>();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vorbel_demo: %s\n", e.what());
    return 1;
  }
  // Whichever way the run ends, the library stops before the sandbox (with
  // its stand-in wget) goes: no supervision thread may reset a gateway after.
  struct ShutdownFirst {
    ~ShutdownFirst() { canline_shutdown(); }
  } shutdown_first;
  if (!opt.trace.empty() && !ntcan_sim::start_trace_file(opt.trace)) {
    std::fprintf(stderr, "vorbel_demo: cannot write the trace file %s\n", opt.trace.c_str());
    return 1;
  }

  if (opt.serve >= 0) {
    try {
      const unsigned port = ntcan_sim::serve_socketcand("127.0.0.1:" + std::to_string(opt.serve));
      display.event("demo", "nets served on 127.0.0.1:" + std::to_string(port) +
                                " (socketcand, raw mode; net N is canN); watch one with: python3 -m can.logger -i "
                                "socketcand -c can0 --host=127.0.0.1 --port=" + std::to_string(port));
    } catch (const std::exception& e) {
      std::fprintf(stderr, "vorbel_demo: %s\n", e.what());
      return 1;
    }
  }

  char scale_text[64];
  std::snprintf(scale_text, sizeof scale_text, "framework clock x%g, run of %g s", scale, opt.seconds);
  display.event("demo", std::string(scale_text) +
                            (opt.fault ? " and then the outage of line 1" : "") + "; configuration " + opt.config);
  display.event("demo", "working directory " + sandbox->dir() +
                            ": gateway file (VORBEL_ESD_PLUGIN) and a stand-in wget that only logs");

  // Frames take their time on the nets: their bits at the line's baud rate,
  // one frame at a time, the lowest identifier first.
  ntcan_sim::set_bus_timing(true);
  auto watch = std::make_unique<demo::BusWatch>(display, 2);
  auto bus = std::make_unique<demo::Bus>(data_dir + "/" + demo::kValveDataSheet);
  display.event("demo", "simulated devices: " + bus->describe());
  display.event("demo", "bus timing on: each frame takes its bits at the line's baud rate; the bus watch shows "
                        "each SDO transfer's time on the bus and, every 2 s, each line's load");

  const bool ready = server.initialise();
  display.event("demo", "line 1 (net 0): " + baud_of_line(1) + ", line 2 (net 1): " + baud_of_line(2) +
                            " (the .BAUDRATE of the node that opened the line)");
  if (!ready) display.event("demo", "a node could not be initialised; the server runs with what it has");
  display.event("demo", "server loop running every 100 ms: rtr() for PUMP every 500 ms, can_looping(), then "
                        "can_array, can_emergency, supervise and take_emergency per node");

  demo::ScriptOptions so;
  so.run_s = opt.seconds;
  so.fault = opt.fault;
  auto script = std::make_unique<demo::Script>(eq, *bus, server, display, *sandbox, so, g_stop);
  script->start();

  const auto wall_start = std::chrono::steady_clock::now();
  double load_shown_s = 0;
  while (!g_stop) {
    server.loop_turn();
    display.show(server.view());
    if (table) display.set_bus_load("bus  " + watch->load_text() + "\npdo  " + server.process_text());
    display.refresh();
    const std::chrono::duration<double> ran = std::chrono::steady_clock::now() - wall_start;
    if (!table && ran.count() >= load_shown_s + kLoadEveryS) {
      load_shown_s = ran.count();
      display.event("bus", watch->load_text());
      display.event("pdo", server.process_text());
    }
    if (script->done() && ran.count() >= opt.seconds) break;
    TELVOsleep(0, 100000);
  }
  g_stop = true;  // the script ends its steps
  script.reset();

  display.show(server.view());
  display.refresh(true);
  display.leave_table();
  display.event("bus", watch->load_text());
  display.event("pdo", server.process_text());
  display.event("demo", stop_reason());
  if (!table) display.final_rows();  // a table stays on screen

  // A run whose configuration or trace could not be written fails.
  int exit_code = 0;
  if (is_shipped_sample(opt.save)) {
    display.event("demo", "not saving over the shipped sample " + opt.save + " (use --save FILE)");
  } else if (telvo_save_config(opt.save, {&eq}, &error) != 0) {
    display.event("demo", "configuration not saved: " + error);
    exit_code = 1;
  } else {
    display.event("demo", "configuration saved to " + opt.save);
  }

  canline_shutdown();
  display.event("demo", "canline_shutdown(): the supervision threads have stopped and the lines are closed");
  bus.reset();  // the devices stop: no more frames
  ntcan_sim::set_bus_timing(false);  // what still waits for a net goes out now
  watch.reset();
  if (!opt.trace_check.empty()) write_trace_check(opt.trace_check);
  if (!opt.trace.empty()) {
    const bool ok = ntcan_sim::stop_trace_file();
    display.event("demo", (ok ? "bus trace written to " : "bus trace incomplete: ") + opt.trace);
    if (!ok) exit_code = 1;
  }
  telvo::set_log_sink(nullptr);
  return exit_code;
}
