// The contract tests on the socketcand driver: its nets are served by the
// simulated driver's server in a process of its own, and a device is a bare
// socketcand client of that server.
#include <stdlib.h>

#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "contract_bus.h"
#include "child_process.h"
#include "socketcand_wire.h"
#include "wire_client.h"

namespace contract {

namespace {
std::unique_ptr<testsupport::ChildProcess> server;
uint16_t port = 0;
std::map<int, std::unique_ptr<testsupport::WireClient>> devices;
}  // namespace

void start() {
  server = std::make_unique<testsupport::ChildProcess>(VORBEL_SIM_SERVER, std::vector<std::string>{});
  port = testsupport::served_port(*server);
  std::string nets;
  for (int net = 0; net < 4; ++net) nets += std::to_string(net) + "=127.0.0.1:" + std::to_string(port) + " ";
  setenv("NTCAN_SOCKETCAND", nets.c_str(), 1);
}

void from_device(int net, const CMSG& m) {
  auto& device = devices[net];
  if (!device) {
    device = std::make_unique<testsupport::WireClient>(port);
    device->open_raw(net);
  }
  socketcand::WireFrame f;
  f.id = static_cast<uint32_t>(m.id);
  f.len = m.len & NTCAN_DLC_MASK;
  std::memcpy(f.data, m.data, sizeof f.data);
  device->send(socketcand::format_send(f));
}

}  // namespace contract
