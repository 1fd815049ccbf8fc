// The server loop: can_looping over N registered nodes beside the bare
// driver doing the same work (one canTake per handle), one can_array, and
// one healthy cycle of the line supervision.
#include <algorithm>
#include <array>
#include <mutex>
#include <vector>

#include "bench_common.h"
#include "node/spin_lock.h"
#include "ntcan_sim.h"

namespace vorbel_bench {
namespace {

using ntcan_sim::Call;

// Passes per timed block with empty queues, so that a block covers at least
// this many node fills and the clock reads stay small beside it.
constexpr int kFillsPerBlock = 256;

// Args: nodes registered, frames waiting per node at each pass.
//
// With frames waiting, each pass needs its queues refilled first; the
// refill (one canSend of 10 frames per node from a peer handle) runs before
// the timed block, outside it, so only the fills are timed: one pass per
// block, the clock read subtracted. Library and bare passes alternate and
// each gets its own refill, so both take the same frames from the same
// handles.
void BM_ServerLoop(benchmark::State& state) {
  Bus& b = bus();
  const int nodes = static_cast<int>(state.range(0));
  const int frames = static_cast<int>(state.range(1));
  b.field->register_first(nodes);
  std::vector<NTCAN_HANDLE> handles;
  for (int k = 0; k < nodes; ++k) handles.push_back(b.field->handle(k));
  const int passes = frames ? 1 : std::max(1, kFillsPerBlock / nodes);

  CMSG batch[NodeField::kMaxFrames];
  bool refill_ok = true;
  Pair pair;
  long iterations = 0;
  const uint64_t takes0 = ntcan_sim::calls(Call::Take);
  for (auto _ : state) {
    state.SetIterationTime(1e-9 * pair.run(
        static_cast<double>(passes) * nodes,
        [&] {
          for (int p = 0; p < passes; ++p) can_looping();
        },
        [&] {
          for (int p = 0; p < passes; ++p)
            for (NTCAN_HANDLE h : handles) {
              int32_t n = NodeField::kMaxFrames;
              canTake(h, batch, &n);
            }
        },
        [&] {
          if (frames) refill_ok = b.field->refill(nodes, frames) && refill_ok;
        }));
    ++iterations;
  }
  if (!refill_ok) state.SkipWithError("refill failed");
  const double fills = static_cast<double>(iterations) * passes * nodes;
  pair.report(state);
  // The bare side made exactly one canTake per node and pass; the rest are
  // the library's.
  const double all_takes = static_cast<double>(ntcan_sim::calls(Call::Take) - takes0);
  state.counters["takes_per_node"] = (all_takes - fills) / fills;
  state.counters["lib_allocs_per_pass"] =
      static_cast<double>(pair.lib_allocs) / (static_cast<double>(iterations) * passes);
  state.counters["clock_read_ns"] = clock_read_ns();
  // The library's fills succeeded (the node's status word is 0).
  if (frames && b.field->node(0).can_return() != 0) state.SkipWithError("fill failed");
}
BENCHMARK(BM_ServerLoop)
    ->ArgNames({"nodes", "frames"})
    ->ArgsProduct({{1, 10, 100, 1000}, {0, 10}})
    ->UseManualTime()
    ->MinTime(0.2);

// Where the library's time beside the bare takes goes. Four blocks
// alternate in one run, each after its own refill:
//   lib      can_looping
//   bare     canTake per handle into one buffer
//   locked   the same, each take under a lock of the node's own (the kind
//            of lock can_looping takes around each node's fill)
//   own_buf  the same as locked, into each node's own receive buffer, as
//            can_fill does
// The steps between them are the per-node lock, the destination buffers
// (one per node: with 1000 nodes they no longer fit the caches), and what
// is left: the node's virtual calls, handle checks and status stores.
void BM_ServerLoopParts(benchmark::State& state) {
  Bus& b = bus();
  const int nodes = static_cast<int>(state.range(0));
  const int frames = static_cast<int>(state.range(1));
  b.field->register_first(nodes);
  std::vector<NTCAN_HANDLE> handles;
  std::vector<CMSG*> buffers;
  for (int k = 0; k < nodes; ++k) {
    handles.push_back(b.field->handle(k));
    buffers.push_back(b.field->node(k).rx_buffer());
  }
  const int passes = frames ? 1 : std::max(1, kFillsPerBlock / nodes);
  // One lock per node, of the kind the loop takes around each node's fill.
  std::vector<vorbel::SpinLock> locks(static_cast<size_t>(nodes));
  CMSG batch[NodeField::kMaxFrames];
  constexpr int kKinds = 4;
  // Per group of iterations (at least Pair::kGroupNs of library time): the
  // time of each kind of block; medians over the groups are reported.
  std::array<double, kKinds> open{};
  double open_fills = 0;
  std::vector<double> per_fill[kKinds];
  int first = 0;
  bool refill_ok = true;
  for (auto _ : state) {
    double lib_ns = 0;
    for (int turn = 0; turn < kKinds; ++turn) {
      const int which = (first + turn) % kKinds;
      if (frames) refill_ok = b.field->refill(nodes, frames) && refill_ok;
      const double t = time_ns([&] {
        for (int p = 0; p < passes; ++p) {
          if (which == 0) {
            can_looping();
            continue;
          }
          for (int k = 0; k < nodes; ++k) {
            int32_t n = NodeField::kMaxFrames;
            if (which >= 2) locks[static_cast<size_t>(k)].lock();
            canTake(handles[static_cast<size_t>(k)], which == 3 ? buffers[static_cast<size_t>(k)] : batch, &n);
            if (which >= 2) locks[static_cast<size_t>(k)].unlock();
          }
        }
      });
      open[static_cast<size_t>(which)] += t;
      if (which == 0) lib_ns = t;
    }
    first = (first + 1) % kKinds;
    open_fills += static_cast<double>(passes) * nodes;
    if (open[0] >= Pair::kGroupNs) {
      for (int k = 0; k < kKinds; ++k) per_fill[k].push_back(open[static_cast<size_t>(k)] / open_fills);
      open = {};
      open_fills = 0;
    }
    state.SetIterationTime(lib_ns * 1e-9);
  }
  if (!refill_ok) state.SkipWithError("refill failed");
  state.counters["lib_ns"] = median(per_fill[0]);
  state.counters["bare_ns"] = median(per_fill[1]);
  state.counters["locked_ns"] = median(per_fill[2]);
  state.counters["own_buf_ns"] = median(per_fill[3]);
}
BENCHMARK(BM_ServerLoopParts)
    ->ArgNames({"nodes", "frames"})
    ->ArgsProduct({{1, 100, 1000}, {0, 10}})
    ->UseManualTime()
    ->MinTime(0.1);

// One can_array: the copy of a node's last fill (10 frames) under the
// node's buffer lock.
void BM_CanArray(benchmark::State& state) {
  Bus& b = bus();
  b.field->register_first(1);
  b.field->refill(1, 10);
  can_looping();
  FieldNode& node = b.field->node(0);
  CMSG batch[NodeField::kMaxFrames];
  int count = 0;
  const long a0 = allocations_on_this_thread();
  for (auto _ : state) {
    benchmark::DoNotOptimize(node.can_array(batch, &count));
    benchmark::ClobberMemory();
  }
  const long allocs = allocations_on_this_thread() - a0;
  if (count != 10) state.SkipWithError("can_array did not return the 10 frames");
  state.counters["frames"] = count;
  state.counters["allocs_per_call"] = static_cast<double>(allocs) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_CanArray);

// One healthy supervision cycle on each of the 20 lines: two steps of the
// StepClock (the threads pause half a second at a time) let every parked
// supervision thread run one cycle (its status query) and pause again. The
// time is mostly the hand-over between threads; the figures that matter are
// the allocations and status queries per cycle, counted on the supervision
// threads between their wake-ups and pauses.
void BM_SupervisionCycle(benchmark::State& state) {
  Bus& b = bus();
  long allocs = 0;
  std::size_t cycles = 0;
  bool complete = true;
  const uint64_t status0 = ntcan_sim::calls(Call::Status);
  for (auto _ : state) {
    for (int half = 0; half < 2; ++half) {
      const StepClock::Step s = b.clock->step();
      allocs += s.allocations;
      complete = complete && s.complete && s.threads == b.supervisors;
    }
    cycles += b.supervisors;
  }
  if (!complete || cycles == 0) {
    state.SkipWithError("a supervision thread did not come back to its pause");
    return;
  }
  state.counters["threads"] = static_cast<double>(b.supervisors);
  state.counters["allocs_per_cycle"] = static_cast<double>(allocs) / static_cast<double>(cycles);
  state.counters["status_calls_per_cycle"] =
      static_cast<double>(ntcan_sim::calls(Call::Status) - status0) / static_cast<double>(cycles);
}
BENCHMARK(BM_SupervisionCycle)->MinTime(0.1);

}  // namespace
}  // namespace vorbel_bench
