// The contract tests on the socketcand driver: its nets are served by the
// simulated driver's server in a process of its own, and a device is a bare
// socketcand client of that server.
#include <stdlib.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>

#include "contract_bus.h"
#include "server_process.h"
#include "wire_client.h"

namespace contract {

namespace {
std::unique_ptr<testsupport::ServerProcess> server;
std::map<int, std::unique_ptr<testsupport::WireClient>> devices;
}  // namespace

void start() {
  server = std::make_unique<testsupport::ServerProcess>(VORBEL_SIM_SERVER, std::vector<std::string>{});
  std::string nets;
  for (int net = 0; net < kNets; ++net) nets += std::to_string(net) + "=127.0.0.1:" + std::to_string(server->port()) + " ";
  setenv("NTCAN_SOCKETCAND", nets.c_str(), 1);
}

void from_device(int net, const CMSG& m) {
  auto& device = devices[net];
  if (!device) {
    device = std::make_unique<testsupport::WireClient>(server->port());
    device->open_raw(net);
  }
  char text[64];
  int at = std::snprintf(text, sizeof text, "< send %03X %d", static_cast<unsigned>(m.id), m.len & NTCAN_DLC_MASK);
  for (int k = 0; k < (m.len & NTCAN_DLC_MASK); ++k) at += std::snprintf(text + at, sizeof text - at, " %02x", m.data[k]);
  device->send(std::string(text) + " >");
}

}  // namespace contract
