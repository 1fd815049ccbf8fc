// The simulated side of the demo: the CANopen devices on the simulated CAN
// nets, and the script of the run, which plays the server's clients (client
// calls as user@host through the equipment function), the devices (an
// emergency, a device that falls silent, one that reboots) and, with --fault, the line's
// network gateway (an outage of line 1).
#ifndef VORBEL_DEMO_BUS_H
#define VORBEL_DEMO_BUS_H

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "canopen_device.h"
#include "display.h"
#include "sandbox.h"
#include "server.h"

namespace demo {

// The devices, powered up on construction (their boot-up messages go out
// before the server opens its lines). The drive serves the program download
// objects; the valve terminal's dictionary is built from its product's data
// sheet `valve_eds` (when it cannot be read: the built-in entries, and a
// line that says why).
class Bus {
 public:
  explicit Bus(const std::string& valve_eds);
  canopen_sim::Device& motor() { return *devices_[0]; }
  canopen_sim::Device& pump() { return *devices_[1]; }
  canopen_sim::Device& valve() { return *devices_[2]; }
  // "net 0: nodes 5 and 6, ..."
  std::string describe() const;

 private:
  std::vector<std::unique_ptr<canopen_sim::Device>> devices_;
  std::string valve_dictionary_;  // how the valve terminal's dictionary was built
};

struct ScriptOptions {
  double run_s = 8;    // wall seconds of the client session; its steps are spread over it
  bool fault = false;  // then the line outage of line 1
};

class Script {
 public:
  Script(EqFct& eq, Bus& bus, Server& server, Display& display, Sandbox& sandbox, ScriptOptions options,
         const std::atomic<bool>& stop);
  ~Script();
  void start();
  // True once every step has run (or the run was stopped).
  bool done() const { return done_.load(); }
  // Reports the runs of the stand-in wget; called by the script's thread.
  void report_gateway_calls();

 private:
  void run();
  void client_session();
  void line_outage();
  // Waits (polling, so that a stop is seen at once) until `wall_s` seconds of
  // wall time since the start; false when stopped.
  bool wait_wall(double wall_s);
  // Waits until `ready` or `framework_s` more seconds of framework time;
  // false when stopped.
  template <class Ready>
  bool wait_framework(double framework_s, Ready ready);
  void client_write(const std::string& property, int value);

  EqFct& eq_;
  Bus& bus_;
  Server& server_;
  Display& display_;
  Sandbox& sandbox_;
  const ScriptOptions options_;
  const std::atomic<bool>& stop_;
  std::atomic<bool> done_{false};
  std::atomic<int> wget_calls_{0};
  double start_wall_ = 0;  // wall seconds at start()
  std::thread thread_;
};

}  // namespace demo

#endif  // VORBEL_DEMO_BUS_H
