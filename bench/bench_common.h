// What the benchmarks share: the bus they run on and the timing of the
// library beside the bare driver.
#ifndef VORBEL_BENCH_COMMON_H
#define VORBEL_BENCH_COMMON_H

#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <vector>

#include "canopen_device.h"
#include "counting_allocator.h"
#include "node_field.h"
#include "step_clock.h"

namespace vorbel_bench {

// The bus every benchmark runs on, built on first use and kept for the run:
//   - 1000 registered nodes on lines 1..20 (NodeField); the server-loop
//     benchmarks leave the first N of them registered;
//   - "io": an unregistered node on line 1 (node id 60, receiving 0x5BC) for
//     the frame I/O benchmarks, and a peer handle on its net that receives
//     its frames on 0x23C and sends it frames on 0x5BC;
//   - "sdo": an unregistered node on line 20 (node id 100, receiving 0x5E4)
//     and a simulated CANopen node with node id 100 on net 19 that answers
//     its SDO requests inside the sender's canSend;
//   - the StepClock, on which the 20 supervision threads stay parked except
//     in the supervision benchmark.
// The driver's trace is off: it would record every frame.
struct Bus {
  static constexpr int kFieldNodes = 1000;
  static constexpr int kIoNodeId = 60;
  static constexpr int32_t kIoRx = 0x580 + kIoNodeId;  // frames the io node receives
  static constexpr int32_t kIoTx = 0x200 + kIoNodeId;  // frames the io node sends
  static constexpr int kSdoLine = 20;
  static constexpr int kSdoNodeId = 100;
  static constexpr uint16_t kExpeditedIndex = 0x2000;  // 4 bytes
  static constexpr uint16_t kSegmentedIndex = 0x2001;  // 63 bytes
  static constexpr uint16_t kDownloadIndex = 0x2002;  // writable

  Bus();
  StepClock* clock = nullptr;
  EqFct eq{"BENCH"};
  std::unique_ptr<NodeField> field;
  std::unique_ptr<FieldNode> io;
  NTCAN_HANDLE io_peer = NTCAN_NO_HANDLE;
  std::unique_ptr<FieldNode> sdo;
  std::unique_ptr<canopen_sim::Device> device;
  std::size_t supervisors = 0;  // supervision threads parked on the clock
};

// The bus, built on the first call. Also makes the calling thread's pauses
// return at once.
Bus& bus();

// Installs the clock, silences the framework log and turns the driver's
// trace off; called by main before any benchmark.
void prepare_process();

// Steady-clock time of a block of work, less the cost of reading the clock
// (calibrated once: the median of back-to-back reads).
double clock_read_ns();
template <class F>
double time_ns(F&& work) {
  const auto t0 = std::chrono::steady_clock::now();
  work();
  const auto t1 = std::chrono::steady_clock::now();
  const double ns = std::chrono::duration<double, std::nano>(t1 - t0).count() - clock_read_ns();
  return ns > 0 ? ns : 0;
}

// The library's and the bare driver's share of one benchmark, timed in
// alternating blocks within one run, so that both see the same machine
// state and the ratio is free of run-to-run drift.
//
// Consecutive iterations are gathered into groups of at least kGroupNs of
// library time; the figures reported are medians over the groups, so that
// a group hit by another process (a 2-core machine shared with compilers)
// does not move them. Means are reported beside them.
struct Pair {
  static constexpr double kGroupNs = 5000;
  struct Group {
    double lib_ns = 0;
    double bare_ns = 0;
    double units = 0;
  };
  std::vector<Group> groups;
  Group open;
  Group total;
  long lib_allocs = 0;
  long bare_allocs = 0;
  bool lib_first = true;  // flipped every iteration

  // One iteration: `prepare` (untimed), then the library's or the bare
  // block, timed; again for the other one. `units` is the work of one block
  // (nodes filled, frames, uploads). Returns the library's time in ns.
  template <class Lib, class Bare, class Prepare>
  double run(double units, Lib&& lib, Bare&& bare, Prepare&& prepare) {
    double lib_ns = 0;
    double bare_ns = 0;
    for (int turn = 0; turn < 2; ++turn) {
      const bool is_lib = (turn == 0) == lib_first;
      prepare();
      const long a0 = allocations_on_this_thread();
      const double ns = is_lib ? time_ns(lib) : time_ns(bare);
      const long allocs = allocations_on_this_thread() - a0;
      (is_lib ? lib_ns : bare_ns) = ns;
      (is_lib ? lib_allocs : bare_allocs) += allocs;
    }
    lib_first = !lib_first;
    add(lib_ns, bare_ns, units);
    return lib_ns;
  }
  void add(double lib_ns, double bare_ns, double units);
  // Counters per unit of work: lib_ns, bare_ns and ratio (lib / bare), the
  // medians over the groups; lib_ns_mean, bare_ns_mean, ratio_mean over
  // everything; lib_allocs, bare_allocs.
  void report(benchmark::State& state);
};

double median(std::vector<double> v);

}  // namespace vorbel_bench

#endif  // VORBEL_BENCH_COMMON_H
