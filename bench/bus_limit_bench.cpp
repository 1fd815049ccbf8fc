// The server loop on busy buses: 20 lines of 32 heartbeat nodes, the loop
// every 100 ms, the simulated driver with bus timing on a virtual clock.
// Finds the highest heartbeat rate per node at which no heartbeat is lost.
#include <algorithm>
#include <array>
#include <queue>
#include <string>
#include <vector>

#include "bench_common.h"
#include "ntcan_sim.h"

namespace vorbel_bench {
namespace {

constexpr int kNodesPerLine = 32;
constexpr int kNodes = NodeField::kLines * kNodesPerLine;
constexpr int64_t kTurnUs = 100000;  // the server loop's period
constexpr int64_t kRunUs = 1000000;  // heartbeats are produced this long
constexpr int64_t kStartUs = 1000000000LL * 1000000;

// Bus time that moves only when the benchmark moves it.
class VirtualClock : public ntcan_sim::BusClock {
 public:
  int64_t now_us() override { return now; }
  bool wait_until_us(int64_t) override { return false; }
  int64_t now = kStartUs;
};

struct Outcome {
  uint64_t sent = 0;
  uint64_t received = 0;    // by the loop, through can_array
  uint64_t overruns = 0;    // a node's heartbeat still waiting when the next one was due
  uint64_t rx_lost = 0;     // dropped by full receive queues
  int max_per_turn = 0;     // most heartbeats of one node in one fill
  double load = 0;          // bus load of line 1 at the end of production
  double loop_ns = 0;       // the loop's real time per turn (can_looping, can_array per node)
  bool lost() const { return overruns + rx_lost > 0 || received != sent; }
};

CMSG heartbeat(int node_id) { return ntcan_sim::make_frame(0x700 + node_id, {0x05}); }

// One run at `hz` heartbeats per node and second: every node sends with its
// own phase (node j of a line j/32 of a period after node 0), as a device
// does, one heartbeat at a time: a heartbeat still waiting for the bus when
// the next is due is an overrun, and the next one is not sent. The loop
// runs every 100 ms, and once more 100 ms after the last heartbeat.
Outcome run_at(Bus& b, VirtualClock& clock, double hz) {
  Outcome out;
  const int64_t period_us = static_cast<int64_t>(1e6 / hz);
  std::vector<uint64_t> sent(kNodes), delivered(kNodes);
  std::vector<int> ids;
  for (int net = 0; net < NodeField::kLines; ++net) {
    ids.push_back(ntcan_sim::attach(net, "heartbeat monitor", [&delivered, net](const ntcan_sim::BusFrame& f) {
      const int id = f.msg.id - 0x700;
      if (id >= 1 && id <= kNodesPerLine) ++delivered[static_cast<size_t>((id - 1) * NodeField::kLines + net)];
    }));
  }
  std::array<uint64_t, NodeField::kLines> lost0{};
  for (int net = 0; net < NodeField::kLines; ++net) lost0[static_cast<size_t>(net)] = ntcan_sim::bus_stats(net).rx_lost;

  using Due = std::pair<int64_t, int>;  // time, node
  std::priority_queue<Due, std::vector<Due>, std::greater<Due>> due;
  const int64_t t0 = clock.now;
  for (int k = 0; k < kNodes; ++k) {
    const int j = NodeField::node_id_of(k) - 1;
    due.emplace(t0 + period_us * j / kNodesPerLine, k);
  }
  const int64_t end = t0 + kRunUs;
  int64_t next_turn = t0 + kTurnUs;
  const int64_t last_turn = end + kTurnUs;
  CMSG batch[NodeField::kMaxFrames];
  double loop_ns = 0;
  int turns = 0;
  for (;;) {
    int64_t t = next_turn;
    if (!due.empty() && due.top().first < end) t = std::min(t, due.top().first);
    const int64_t delivery = ntcan_sim::next_bus_event_us();
    if (delivery >= 0) t = std::min(t, delivery);
    clock.now = t;
    ntcan_sim::bus_clock_moved();
    if (t == next_turn) {
      loop_ns += time_ns([&] {
        can_looping();
        for (int k = 0; k < kNodes; ++k) {
          int n = 0;
          b.field->node(k).can_array(batch, &n);
          out.received += static_cast<uint64_t>(n);
          out.max_per_turn = std::max(out.max_per_turn, n);
        }
      });
      ++turns;
      if (t == end) out.load = ntcan_sim::bus_stats(0).load;
      if (t >= last_turn) break;
      next_turn += kTurnUs;
    }
    while (!due.empty() && due.top().first == t && t < end) {
      const int k = due.top().second;
      due.pop();
      const auto node = static_cast<size_t>(k);
      if (delivered[node] < sent[node]) {
        ++out.overruns;
      } else {
        const int net = NodeField::line_of(k) - 1;
        ntcan_sim::inject(net, heartbeat(NodeField::node_id_of(k)), "node " + std::to_string(NodeField::node_id_of(k)));
        ++sent[node];
      }
      due.emplace(t + period_us, k);
    }
  }
  // What is still queued goes out and is taken, so that the next run starts
  // on empty buses and queues.
  for (int64_t t; (t = ntcan_sim::next_bus_event_us()) >= 0;) {
    clock.now = t;
    ntcan_sim::bus_clock_moved();
  }
  can_looping();
  for (int id : ids) ntcan_sim::detach(id);
  for (int net = 0; net < NodeField::kLines; ++net)
    out.rx_lost += ntcan_sim::bus_stats(net).rx_lost - lost0[static_cast<size_t>(net)];
  for (uint64_t n : sent) out.sent += n;
  out.loop_ns = loop_ns / turns;
  return out;
}

// Arg: the baud-rate code of the 20 lines.
void BM_HeartbeatLimit(benchmark::State& state) {
  Bus& b = bus();
  const auto baud = static_cast<uint32_t>(state.range(0));
  b.field->register_first(kNodes);
  for (int k = 0; k < kNodes; ++k) canIdAdd(b.field->handle(k), 0x700 + NodeField::node_id_of(k));
  for (int net = 0; net < NodeField::kLines; ++net) canSetBaudrate(b.field->handle(net), baud);
  VirtualClock clock;
  ntcan_sim::set_bus_clock(&clock);
  ntcan_sim::set_bus_timing(true);

  // The bus's own limit: 32 heartbeats of their average length per period.
  double bits = 0;
  for (int id = 1; id <= kNodesPerLine; ++id) bits += ntcan_sim::frame_bits(heartbeat(id));
  const double bus_hz = 1e9 / (bits * ntcan_sim::bit_time_ns(baud));

  Outcome best;
  int best_hz = 0;
  for (auto _ : state) {
    int lo = 1, hi = static_cast<int>(bus_hz * 1.5);  // lo loses nothing, hi loses
    while (hi - lo > 1) {
      const int mid = (lo + hi) / 2;
      const Outcome o = run_at(b, clock, mid);
      if (o.lost()) {
        hi = mid;
      } else {
        lo = mid;
        best = o;
      }
    }
    best_hz = lo;
  }
  ntcan_sim::set_bus_timing(false);
  ntcan_sim::set_bus_clock(nullptr);
  for (int net = 0; net < NodeField::kLines; ++net) canSetBaudrate(b.field->handle(net), NTCAN_BAUD_125);
  for (int k = 0; k < kNodes; ++k) canIdDelete(b.field->handle(k), 0x700 + NodeField::node_id_of(k));

  state.counters["kbit_s"] = 1e6 / ntcan_sim::bit_time_ns(baud);
  state.counters["rate_hz"] = best_hz;
  state.counters["bus_limit_hz"] = bus_hz;
  state.counters["load"] = best.load;
  state.counters["heartbeats"] = static_cast<double>(best.sent);
  state.counters["max_per_fill"] = best.max_per_turn;
  state.counters["loop_us"] = best.loop_ns / 1e3;
}
BENCHMARK(BM_HeartbeatLimit)->ArgName("baud")->Arg(NTCAN_BAUD_125)->Arg(NTCAN_BAUD_1000)->Iterations(1);

}  // namespace
}  // namespace vorbel_bench
