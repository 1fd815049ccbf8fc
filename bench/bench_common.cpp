#include "bench_common.h"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include "ntcan_sim.h"
#include "telvo_log.h"

namespace vorbel_bench {

namespace {
StepClock* g_clock = nullptr;

std::unique_ptr<FieldNode> unregistered_node(EqFct& eq, const std::string& name, int line, int id, int rx) {
  auto n = std::make_unique<FieldNode>(name, &eq);
  IIII address{line, id, rx, 0};
  n->set_value(&address);
  n->has_changed();
  // init() puts the node on its line with its address's identifiers enabled
  // and keeps it out of the server loop.
  if (const int ret = n->init()) throw std::runtime_error(name + ": init returned " + std::to_string(ret));
  return n;
}
}  // namespace

void prepare_process() {
  g_clock = &install_step_clock();
  StepClock::run_pauses_at_once();
  telvo::set_log_sink([](const telvo::LogEntry&) {});
  ntcan_sim::set_trace_enabled(false);
}

Bus::Bus() : clock(g_clock) {
  if (!clock) throw std::logic_error("prepare_process() must run first");
  field = std::make_unique<NodeField>(eq, kFieldNodes);

  io = unregistered_node(eq, "IO", 1, kIoNodeId, kIoRx);
  if (canOpen(0, 0, 10, 100, 1000, 1000, &io_peer) != NTCAN_SUCCESS || canIdAdd(io_peer, kIoTx) != NTCAN_SUCCESS)
    throw std::runtime_error("io peer handle");

  sdo = unregistered_node(eq, "SDO", kSdoLine, kSdoNodeId, 0x580 + kSdoNodeId);
  device = std::make_unique<canopen_sim::Device>(kSdoLine - 1, kSdoNodeId);
  device->set_object(kExpeditedIndex, 0, "ABCD");
  std::string segmented = "segmented value: sixty-three bytes in nine segments of seven";
  segmented.resize(63, '.');
  device->set_object(kSegmentedIndex, 0, segmented);
  device->set_object(kDownloadIndex, 0, "");

  // The 20 supervision threads start in their 60 s start pause, which they
  // sleep half a second at a time; then come the marker-file check and its
  // messages and the first status query. From then on every two steps are
  // one cycle.
  if (!clock->wait_for_sleepers(NodeField::kLines)) throw std::runtime_error("supervision threads did not start");
  while (ntcan_sim::calls(ntcan_sim::Call::Status) < NodeField::kLines)
    if (!clock->step().complete) throw std::runtime_error("supervision threads did not settle");
  supervisors = clock->sleepers();
}

Bus& bus() {
  StepClock::run_pauses_at_once();
  static Bus* b = new Bus;  // kept to the end: the supervision threads use its lines
  return *b;
}

double clock_read_ns() {
  static const double ns = [] {
    std::vector<double> d(1001);
    for (auto& x : d) {
      const auto t0 = std::chrono::steady_clock::now();
      const auto t1 = std::chrono::steady_clock::now();
      x = std::chrono::duration<double, std::nano>(t1 - t0).count();
    }
    std::nth_element(d.begin(), d.begin() + 500, d.end());
    return d[500];
  }();
  return ns;
}

void Pair::add(double lib_ns, double bare_ns, double units) {
  open.lib_ns += lib_ns;
  open.bare_ns += bare_ns;
  open.units += units;
  total.lib_ns += lib_ns;
  total.bare_ns += bare_ns;
  total.units += units;
  if (open.lib_ns >= kGroupNs) {
    groups.push_back(open);
    open = Group{};
  }
}

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  const auto mid = v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2);
  std::nth_element(v.begin(), mid, v.end());
  return *mid;
}

void Pair::report(benchmark::State& state) {
  if (total.units <= 0) return;
  std::vector<double> lib, bare, ratio;
  for (const Group& g : groups) {
    if (g.units <= 0 || g.bare_ns <= 0) continue;
    lib.push_back(g.lib_ns / g.units);
    bare.push_back(g.bare_ns / g.units);
    ratio.push_back(g.lib_ns / g.bare_ns);
  }
  state.counters["lib_ns"] = median(lib);
  state.counters["bare_ns"] = median(bare);
  state.counters["ratio"] = median(ratio);
  state.counters["groups"] = static_cast<double>(ratio.size());
  state.counters["lib_ns_mean"] = total.lib_ns / total.units;
  state.counters["bare_ns_mean"] = total.bare_ns / total.units;
  state.counters["ratio_mean"] = total.bare_ns > 0 ? total.lib_ns / total.bare_ns : 0;
  state.counters["lib_allocs"] = static_cast<double>(lib_allocs) / total.units;
  state.counters["bare_allocs"] = static_cast<double>(bare_allocs) / total.units;
}

}  // namespace vorbel_bench
