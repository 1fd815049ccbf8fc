// Decoding transmit PDOs: a PdoReceiver's take beside the decode device
// code writes by hand for the same mapping, on the same fills; and the
// server loop over nodes with a bound transmit PDO beside the same loop
// over the same frames without the binding.
#include <array>
#include <string>
#include <vector>

#include "bench_common.h"
#include "ntcan_sim.h"

namespace vorbel_bench {
namespace {

constexpr int kFills = 100;      // a block: 100 fills with one frame of the PDO each
constexpr int32_t kPdoId = 0x185;

// Position (INTEGER32), speed (INTEGER16), status (UNSIGNED8), an enable
// bit and a 7-bit mode: 64 bits.
vorbel::PdoMapping drive_mapping() {
  vorbel::PdoMapping m;
  m.add(0x6064, 0, 32, vorbel::PdoType::Signed);
  m.add(0x606C, 0, 16, vorbel::PdoType::Signed);
  m.add(0x6041, 0, 8);
  m.add(0x2000, 1, 1);
  m.add(0x2000, 2, 7);
  return m;
}

// What device code keeps when it decodes by hand.
struct HandDecoded {
  int32_t position = 0;
  int16_t speed = 0;
  uint8_t status = 0;
  bool enabled = false;
  uint8_t mode = 0;
  long long time_ms = 0;
  uint64_t frames = 0;
  uint64_t mismatches = 0;
};

void hand_take(HandDecoded& h, const CMSG* frames, int n, long long time_ms) {
  for (int k = 0; k < n; ++k) {
    const CMSG& m = frames[k];
    if (m.id != kPdoId || (m.len & NTCAN_RTR)) continue;
    if ((m.len & NTCAN_DLC_MASK) != 8) {
      ++h.mismatches;
      continue;
    }
    const uint8_t* d = m.data;
    h.position = static_cast<int32_t>(static_cast<uint32_t>(d[0]) | static_cast<uint32_t>(d[1]) << 8 |
                                      static_cast<uint32_t>(d[2]) << 16 | static_cast<uint32_t>(d[3]) << 24);
    h.speed = static_cast<int16_t>(d[4] | d[5] << 8);
    h.status = d[6];
    h.enabled = d[7] & 1;
    h.mode = static_cast<uint8_t>(d[7] >> 1);
    h.time_ms = time_ms;
    ++h.frames;
  }
}

using Fills = std::array<std::array<CMSG, 3>, kFills>;

// Each fill: a heartbeat, the PDO (its values changing from fill to fill)
// and another node's PDO.
Fills make_fills() {
  Fills fills{};
  for (int f = 0; f < kFills; ++f) {
    auto& b = fills[static_cast<std::size_t>(f)];
    b[0] = ntcan_sim::make_frame(0x705, {0x05});
    b[1] = ntcan_sim::make_frame(kPdoId, {static_cast<uint8_t>(f), 0x10, 0x00, 0x80, static_cast<uint8_t>(0xFF - f),
                                          0xFF, 0x27, static_cast<uint8_t>(f * 3)});
    b[2] = ntcan_sim::make_frame(0x286, {1, 2, 3, 4});
  }
  return fills;
}

// Each side's block of fills is a function of its own, not inlined into the
// benchmark: both loops then start at a function's alignment, and neither
// figure depends on where the other landed in the benchmark's code (that
// alone moved the ratio by 0.4 in either direction). The frames per fill
// come as a value the compiler cannot see, as a fill's count from the
// driver does: with a constant 3 the compiler unrolls one side's scan and
// not the other's.
[[gnu::noinline]] void library_block(vorbel::PdoReceiver& rx, const Fills& fills, int n, long long now) {
  for (const auto& b : fills) {
    rx.take(b.data(), n, now);
    benchmark::ClobberMemory();
  }
}

[[gnu::noinline]] void hand_block(HandDecoded& hand, const Fills& fills, int n, long long now) {
  for (const auto& b : fills) {
    hand_take(hand, b.data(), n, now);
    benchmark::DoNotOptimize(hand);
    benchmark::ClobberMemory();
  }
}

void BM_PdoDecode(benchmark::State& state) {
  const auto fills = make_fills();
  vorbel::PdoReceiver rx(kPdoId, drive_mapping());
  HandDecoded hand;
  Pair pair;
  long long now = 0;
  int per_fill = 3;
  benchmark::DoNotOptimize(per_fill);
  for (auto _ : state) {
    state.SetIterationTime(1e-9 * pair.run(
        kFills,
        [&] { library_block(rx, fills, per_fill, now); }, [&] { hand_block(hand, fills, per_fill, now); },
        [&] { ++now; }));
  }
  if (rx.decoded() != hand.frames || rx.latest().values[0].as_signed() != hand.position)
    state.SkipWithError("the two decodes disagree");
  pair.report(state);
}
BENCHMARK(BM_PdoDecode)->UseManualTime()->MinTime(0.2);

// The transmit PDO of field node k: 0x180 + its node id, on its line.
int32_t field_pdo_id(int k) { return 0x180 + NodeField::node_id_of(k); }

// Args: nodes registered, PDO frames waiting per node at each pass.
//
// Each node has its transmit PDO's identifier enabled, and before every
// timed can_looping each node's queue gets `frames` frames of that PDO from
// a peer handle of its net (untimed). The passes alternate between the PDO
// bound to drive_mapping() on every node (counters bound_ns, per node) and
// no binding (unbound_ns): the same frames, the same handles; ratio is
// bound / unbound. Binding and unbinding happen before a pass, untimed.
void BM_ServerLoopBoundPdo(benchmark::State& state) {
  Bus& b = bus();
  const int nodes = static_cast<int>(state.range(0));
  const int frames = static_cast<int>(state.range(1));
  b.field->register_first(nodes);
  std::array<NTCAN_HANDLE, NodeField::kLines> peers{};
  for (int net = 0; net < NodeField::kLines; ++net) {
    if (canOpen(net, 0, 10, 1, 1000, 1000, &peers[static_cast<std::size_t>(net)]) != NTCAN_SUCCESS) {
      for (int k = 0; k < net; ++k) canClose(peers[static_cast<std::size_t>(k)]);
      return state.SkipWithError("peer handle");
    }
  }
  std::vector<std::array<CMSG, NodeField::kMaxFrames>> pdo_frames(static_cast<std::size_t>(nodes));
  for (int k = 0; k < nodes; ++k) {
    for (int f = 0; f < frames; ++f)
      pdo_frames[static_cast<std::size_t>(k)][static_cast<std::size_t>(f)] = ntcan_sim::make_frame(
          field_pdo_id(k), {static_cast<uint8_t>(f), 0x10, 0x00, 0x80, static_cast<uint8_t>(k), 0xFF, 0x27, 0x05});
    b.field->node(k).AddIdent(field_pdo_id(k));
  }
  const vorbel::PdoMapping mapping = drive_mapping();
  bool bound = false;
  uint64_t decoded = 0;  // by the receivers of the bound passes
  const auto bind_all = [&](bool on) {
    if (on == bound) return;
    for (int k = 0; k < nodes; ++k) {
      FieldNode& n = b.field->node(k);
      if (on) {
        n.bind_tpdo(field_pdo_id(k), mapping);
      } else {
        decoded += n.tpdo(field_pdo_id(k))->decoded();
        n.unbind_tpdo(field_pdo_id(k));
      }
    }
    bound = on;
  };
  bool sent_ok = true;
  uint64_t bound_passes = 0;
  Pair pair;
  long prepared = 0;
  for (auto _ : state) {
    state.SetIterationTime(1e-9 * pair.run(
        nodes, [&] { can_looping(); }, [&] { can_looping(); },
        [&] {
          // Pair times the bound pass first when lib_first, the other second.
          const bool bound_next = (prepared++ % 2 == 0) == pair.lib_first;
          bind_all(bound_next);
          bound_passes += bound_next;
          for (int k = 0; k < nodes; ++k) {
            int32_t count = frames;
            sent_ok = canSend(peers[static_cast<std::size_t>(NodeField::line_of(k) - 1)],
                              pdo_frames[static_cast<std::size_t>(k)].data(), &count) == NTCAN_SUCCESS && sent_ok;
          }
        }));
  }
  bind_all(false);
  for (int k = 0; k < nodes; ++k) b.field->node(k).DelIdent(field_pdo_id(k));
  for (NTCAN_HANDLE h : peers) canClose(h);
  if (!sent_ok) state.SkipWithError("refill failed");
  if (decoded != bound_passes * static_cast<uint64_t>(nodes * frames)) state.SkipWithError("PDOs not decoded");
  pair.report(state);
  for (const char* from : {"lib_ns", "bare_ns", "lib_ns_mean", "bare_ns_mean", "lib_allocs", "bare_allocs"}) {
    std::string to = from;
    to.replace(0, to.find('_'), to[0] == 'l' ? "bound" : "unbound");
    state.counters[to] = state.counters[from];
    state.counters.erase(from);
  }
  state.counters["frames_per_node"] = frames;
}
BENCHMARK(BM_ServerLoopBoundPdo)
    ->ArgNames({"nodes", "frames"})
    ->ArgsProduct({{100, 1000}, {1, 10}})
    ->UseManualTime()
    ->MinTime(0.1);

}  // namespace
}  // namespace vorbel_bench
