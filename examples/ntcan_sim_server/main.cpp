// ntcan_sim_server: the simulated nets served over socketcand on a loopback
// port, with simulated CANopen devices on them: for socketcand clients tried
// by hand (python-can, the socketcand NTCAN driver) and for the tests that
// reach the nets from another process.
//
//   ntcan_sim_server [--port N] [--device NET:ID[:HEARTBEAT_MS]]...
//
// Prints "port N" once serving. Commands on standard input, one per line,
// each answered with one line: "cut" stops serving (every connection closes,
// new ones are refused), "serve" serves again on the same port, "stats"
// prints the server's counters; "quit" or the end of the input ends it.
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "canopen_device.h"
#include "ntcan_sim.h"

namespace {

int usage() {
  std::fprintf(stderr, "usage: ntcan_sim_server [--port N] [--device NET:ID[:HEARTBEAT_MS]]...\n");
  return 2;
}

// The identity the devices serve: the drive's name and software version
// travel as segmented uploads, its two-byte hardware version as an expedited one.
canopen_sim::Options identity(int heartbeat_ms) {
  canopen_sim::Options o;
  o.device_name = "DC-200 drive controller";
  o.hardware_version = "r3";
  o.software_version = "2.4.1";
  o.heartbeat_ms = heartbeat_ms;
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  std::string port = "0";
  std::vector<std::unique_ptr<canopen_sim::Device>> devices;
  try {
    for (int i = 1; i < argc; ++i) {
      const std::string a = argv[i];
      if (a == "--port" && i + 1 < argc) {
        port = argv[++i];
      } else if (a == "--device" && i + 1 < argc) {
        int net = 0, id = 0, heartbeat = 0;
        if (std::sscanf(argv[++i], "%d:%d:%d", &net, &id, &heartbeat) < 2) return usage();
        devices.push_back(std::make_unique<canopen_sim::Device>(net, id, identity(heartbeat)));
      } else {
        return usage();
      }
    }
    const std::string address = "127.0.0.1:" + port;
    const uint16_t served = ntcan_sim::serve_socketcand(address);
    std::printf("port %u\n", static_cast<unsigned>(served));
    std::fflush(stdout);
    for (std::string line; std::getline(std::cin, line) && line != "quit";) {
      if (line == "cut") {
        ntcan_sim::stop_socketcand();
        std::printf("cut\n");
      } else if (line == "serve") {
        std::printf("serving on port %u\n", ntcan_sim::serve_socketcand("127.0.0.1:" + std::to_string(served)));
      } else if (line == "stats") {
        const auto s = ntcan_sim::socketcand_stats();
        std::printf("clients %zu connections %llu in %llu out %llu lost %llu\n", s.clients,
                    static_cast<unsigned long long>(s.connections), static_cast<unsigned long long>(s.frames_in),
                    static_cast<unsigned long long>(s.frames_out), static_cast<unsigned long long>(s.frames_lost));
      } else {
        std::printf("unknown command '%s'\n", line.c_str());
      }
      std::fflush(stdout);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "ntcan_sim_server: %s\n", e.what());
    return 1;
  }
  devices.clear();
  ntcan_sim::stop_socketcand();
  return 0;
}
