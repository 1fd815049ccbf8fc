#include "bus.h"

#include <chrono>

#include "canopen_device_dictionary.h"
#include "ntcan_sim.h"

namespace demo {

namespace {

constexpr int kOutageLine = 1;       // line 1 is NTCAN net 0
constexpr double kSupervisionStart = 62;  // framework s: the supervision's first
                                          // check comes 60 s after a line opens
constexpr double kOutageWait = 60;   // framework s to wait for each step of the outage

// The devices send no heartbeat until device code writes their heartbeat
// producer time (0x1017).
canopen_sim::Options device(const char* name, const char* hw, const char* sw, uint32_t vendor, uint32_t product,
                            uint32_t revision, uint32_t serial) {
  canopen_sim::Options o;
  o.device_name = name;
  o.hardware_version = hw;
  o.software_version = sw;
  o.vendor_id = vendor;
  o.product_code = product;
  o.revision_number = revision;
  o.serial_number = serial;
  return o;
}

double wall_seconds() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

Bus::Bus(const std::string& valve_eds) {
  // Identity strings longer than four bytes travel as segmented uploads,
  // the pump's two-byte hardware version as an expedited one.
  canopen_sim::Options drive =
      device("DC-200 drive controller", "rev C", "2.4.1", 0x000000DC, 0x00000200, 0x00020004, 20417);
  drive.program_download = true;
  devices_.push_back(std::make_unique<canopen_sim::Device>(0, 5, drive));
  devices_.push_back(std::make_unique<canopen_sim::Device>(
      0, 6, device("PX-40 coolant pump", "r3", "1.12.0", 0x0000A5E1, 0x00000040, 0x00010012, 3306)));
  devices_.push_back(std::make_unique<canopen_sim::Device>(
      1, 7, device("VX-3 valve terminal", "B2", "3.0.7", 0x00000C3A, 0x00000003, 0x00030000, 911)));

  // The valve terminal as its data sheet describes the product; the unit's
  // own serial number, which no data sheet holds, as the device keeps it.
  const vorbel::od::LoadResult eds = vorbel::od::load_file(valve_eds);
  if (!eds.ok()) {
    valve_dictionary_ = "node 7's dictionary built in (" +
                        (eds.errors.empty() ? valve_eds : eds.errors.front().to_string()) + ")";
    return;
  }
  const canopen_sim::DictionaryLoad load = canopen_sim::load_dictionary(valve(), *eds.dictionary);
  valve().set_object(canopen_sim::kIdentityIndex, 4, std::string("\x8F\x03\0\0", 4));  // 911
  valve_dictionary_ = "node 7 built from " + valve_eds.substr(valve_eds.rfind('/') + 1) + " (" +
                      std::to_string(load.defined) + " entries)";
}

std::string Bus::describe() const {
  return "net 0: nodes 5 and 6, net 1: node 7; heartbeats only once device code writes 0x1017, "
         "node 6 answers node guarding, node 5 keeps programs (0x1F50), " + valve_dictionary_;
}

Script::Script(EqFct& eq, Bus& bus, Server& server, Display& display, Sandbox& sandbox, ScriptOptions options,
               const std::atomic<bool>& stop)
    : eq_(eq), bus_(bus), server_(server), display_(display), sandbox_(sandbox), options_(options), stop_(stop) {}

Script::~Script() {
  if (thread_.joinable()) thread_.join();
}

void Script::start() {
  start_wall_ = wall_seconds();
  thread_ = std::thread([this] { run(); });
}

void Script::run() {
  client_session();
  if (options_.fault && !stop_) line_outage();
  done_ = true;
}

bool Script::wait_wall(double wall_s) {
  while (wall_seconds() - start_wall_ < wall_s) {
    if (stop_) return false;
    report_gateway_calls();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return !stop_;
}

template <class Ready>
bool Script::wait_framework(double framework_s, Ready ready) {
  const double deadline = display_.seconds() + framework_s;
  while (!ready()) {
    if (stop_) return false;
    report_gateway_calls();
    if (display_.seconds() >= deadline) {
      display_.event("script", "gave up waiting after " + std::to_string(static_cast<int>(framework_s)) + " s");
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

void Script::report_gateway_calls() {
  for (const std::string& args : sandbox_.new_wget_calls()) {
    ++wget_calls_;
    display_.event("gateway", "the stand-in wget got (and sent nothing): wget " + args);
  }
}

void Script::client_write(const std::string& property, int value) {
  EqData in;
  in.set(value);
  display_.event("client", "operator@console sets " + property + " = " + std::to_string(value));
  eq_.client_set(property, in, "operator", "console");
}

void Script::client_session() {
  const double t = options_.run_s;
  display_.set_status("client session");
  if (!wait_wall(0.10 * t)) return;
  client_write("VALVE.STOP", 1);
  if (!wait_wall(0.30 * t)) return;
  client_write("VALVE.START", 1);
  if (!wait_wall(0.38 * t)) return;
  client_write("MOTOR.VELOCITY", 250);
  if (!wait_wall(0.45 * t)) return;
  display_.event("device", "node 5 on net 0 sends an emergency: error code 0x3210 (DC-link overvoltage), "
                           "error register 0x04 (voltage)");
  bus_.motor().send_emergency(0x3210, 0x04, {0x12, 0x34, 0, 0, 0});
  if (!wait_wall(0.50 * t)) return;
  client_write("VALVE.HEARTBEAT", 1000);
  if (!wait_wall(0.55 * t)) return;
  display_.event("device", "node 6 on net 0 falls silent, as if unplugged: no guarding answers, nothing at all");
  bus_.pump().set_silence(canopen_sim::Silence::All);
  if (!wait_wall(0.65 * t)) return;
  display_.event("device", "node 5 on net 0 reboots after a power glitch: boot-up frame, then pre-operational");
  bus_.motor().reboot();
  if (!wait_wall(0.75 * t)) return;
  display_.set_status("client session done");
}

void Script::line_outage() {
  display_.set_status("line outage: waiting for the supervision's first checks");
  if (!wait_framework(1e9, [this] { return display_.seconds() >= kSupervisionStart; })) return;

  display_.set_status("line outage");
  display_.event("bus", "line 1 (net 0) loses its network gateway: its status queries fail with "
                        "NTCAN_SOCK_CONN_TIMEOUT, and so will its reopens");
  ntcan_sim::fail_until_cleared(kOutageLine - 1, ntcan_sim::Call::Status, NTCAN_SOCK_CONN_TIMEOUT);
  ntcan_sim::fail_until_cleared(kOutageLine - 1, ntcan_sim::Call::Open, NTCAN_SOCK_CONN_TIMEOUT);

  if (!wait_framework(kOutageWait, [this] { return wget_calls_ > 0; })) return;
  display_.event("bus", "the gateway of line 1 is back (the driver's faults are cleared); the supervision "
                        "reopens the line after its pause");
  ntcan_sim::clear_faults();

  if (!wait_framework(kOutageWait, [this] { return server_.lines_reopened() > 0; })) return;
  display_.set_status("line 1 back");
  // A little more of the running server after the outage.
  const double tail_from = wall_seconds();
  while (wall_seconds() - tail_from < 1.5) {
    if (stop_) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace demo
