// The contract tests on the simulated driver: devices inject their frames.
#include "contract_bus.h"
#include "ntcan_sim.h"

namespace contract {

void start() { ntcan_sim::reset(); }
void from_device(int net, const CMSG& m) { ntcan_sim::inject(net, m, "device"); }

}  // namespace contract
