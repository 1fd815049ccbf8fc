// SDO uploads from the simulated CANopen node, beside the same transfers
// made of bare send-and-take round trips, and the can_poll round trip
// beside its 5 ms sleep.
#include <time.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "bare_sdo.h"
#include "bench_common.h"
#include "ntcan_sim.h"

namespace vorbel_bench {
namespace {

using ntcan_sim::Call;

constexpr int kBuffer = 64;

// Arg: bytes of the value, 4 (expedited: 2 frames) or 63 (segmented:
// initiate plus 9 segments, 20 frames).
void BM_SdoUpload(benchmark::State& state) {
  Bus& b = bus();
  FieldNode& node = *b.sdo;
  const NTCAN_HANDLE h = node.raw_handle();
  const int net = Bus::kSdoLine - 1;
  const uint16_t index = state.range(0) == 4 ? Bus::kExpeditedIndex : Bus::kSegmentedIndex;
  const std::string expected = *b.device->object(index, 0);
  char lib_buf[kBuffer];
  char bare_buf[kBuffer];

  // One traced upload per side, outside the timing, for the frame and call
  // counts.
  ntcan_sim::set_trace_enabled(true);
  ntcan_sim::clear_trace();
  uint64_t calls0 = driver_calls_on(net);
  std::memset(lib_buf, 0, sizeof lib_buf);
  const int lib_ret = node.segSdoRead(Bus::kSdoNodeId, index, 0, lib_buf, kBuffer);
  const double lib_frames = static_cast<double>(ntcan_sim::trace(net).size());
  const double lib_calls = static_cast<double>(driver_calls_on(net) - calls0);
  ntcan_sim::clear_trace();
  calls0 = driver_calls_on(net);
  std::memset(bare_buf, 0, sizeof bare_buf);
  const int bare_ret = bare_upload(h, Bus::kSdoNodeId, index, bare_buf, kBuffer);
  const double bare_frames = static_cast<double>(ntcan_sim::trace(net).size());
  const double bare_calls = static_cast<double>(driver_calls_on(net) - calls0);
  ntcan_sim::set_trace_enabled(false);
  ntcan_sim::clear_trace();
  if (lib_ret != 0 || bare_ret != 0 || expected != lib_buf || expected != bare_buf) {
    state.SkipWithError("an upload did not return the value");
    return;
  }

  int failures = 0;
  Pair pair;
  long iterations = 0;
  const uint64_t sends0 = ntcan_sim::calls(Call::Send, net);
  const uint64_t answers0 = b.device->frames_sent();
  for (auto _ : state) {
    state.SetIterationTime(1e-9 * pair.run(
        1, [&] { failures += node.segSdoRead(Bus::kSdoNodeId, index, 0, lib_buf, kBuffer) != 0; },
        [&] { failures += bare_upload(h, Bus::kSdoNodeId, index, bare_buf, kBuffer) != 0; }, [] {}));
    ++iterations;
  }
  if (failures) state.SkipWithError("an upload failed");
  pair.report(state);
  state.counters["frames"] = lib_frames;
  state.counters["bare_frames"] = bare_frames;
  state.counters["driver_calls"] = lib_calls;
  state.counters["bare_driver_calls"] = bare_calls;
  // Frames over every timed upload of both sides: requests sent plus answers
  // of the simulated node, per upload.
  state.counters["frames_avg"] =
      static_cast<double>(ntcan_sim::calls(Call::Send, net) - sends0 + b.device->frames_sent() - answers0) /
      (2.0 * static_cast<double>(iterations));
}
BENCHMARK(BM_SdoUpload)->ArgName("bytes")->Arg(4)->Arg(63)->UseManualTime()->MinTime(0.2);

// The line of the SDO node on a timed bus at one baud rate, for the life of
// the object: the driver's own clock (real time), the node's trace on.
class TimedLine {
 public:
  TimedLine(FieldNode& node, uint32_t baud) : node_(node), baud_(baud) {
    canSetBaudrate(node.raw_handle(), baud);
    ntcan_sim::set_bus_timing(true);
  }
  ~TimedLine() {
    ntcan_sim::set_bus_timing(false);
    canSetBaudrate(node_.raw_handle(), NTCAN_BAUD_125);
  }
  TimedLine(const TimedLine&) = delete;
  TimedLine& operator=(const TimedLine&) = delete;

  // The sum of the exact bit times of the frames of one transfer, made once
  // with the trace on; the transfer's result is returned in *ret.
  template <class Transfer>
  double bus_us(Transfer&& transfer, int* ret) {
    const int net = Bus::kSdoLine - 1;
    ntcan_sim::set_trace_enabled(true);
    ntcan_sim::clear_trace();
    *ret = transfer();
    ntcan_sim::set_bus_timing(false);  // what is still on the way is traced too
    ntcan_sim::set_bus_timing(true);
    double bits = 0;
    for (const auto& e : ntcan_sim::trace(net)) bits += ntcan_sim::frame_bits(e.frame.msg);
    frames_ = ntcan_sim::trace(net).size();
    ntcan_sim::set_trace_enabled(false);
    ntcan_sim::clear_trace();
    return bits * ntcan_sim::bit_time_ns(baud_) / 1e3;
  }
  std::size_t frames() const { return frames_; }

 private:
  FieldNode& node_;
  const uint32_t baud_;
  std::size_t frames_ = 0;
};

double thread_cpu_us() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_nsec) / 1e3;
}

// Transfers on a timed bus: the wall time of each beside the bus time of its
// frames, and the CPU time of the thread that makes it (the library's; the
// simulated bus and node run on the driver's thread).
template <class Transfer>
void time_on_bus(benchmark::State& state, TimedLine& line, Transfer&& transfer) {
  int ret = 0;
  const double bus_us = line.bus_us(transfer, &ret);
  if (ret != 0) {
    state.SkipWithError("the transfer failed");
    return;
  }
  std::vector<double> wall, cpu;
  int failures = 0;
  for (auto _ : state) {
    const double c0 = thread_cpu_us();
    const auto t0 = std::chrono::steady_clock::now();
    failures += transfer() != 0;
    const auto t1 = std::chrono::steady_clock::now();
    cpu.push_back(thread_cpu_us() - c0);
    wall.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    state.SetIterationTime(wall.back() * 1e-6);
  }
  if (failures) state.SkipWithError("a transfer failed");
  const double wall_us = median(wall), cpu_us = median(cpu);
  state.counters["kbit_s"] = 1e6 / ntcan_sim::bit_time_ns(static_cast<uint32_t>(state.range(0)));
  state.counters["frames"] = static_cast<double>(line.frames());
  state.counters["bus_us"] = bus_us;
  state.counters["wall_us"] = wall_us;
  state.counters["wall_over_bus"] = wall_us / bus_us;
  state.counters["cpu_us"] = cpu_us;
  state.counters["cpu_share"] = cpu_us / wall_us;
}

// Args: baud-rate code, bytes of the value (4: expedited, 63: segmented).
void BM_SdoUploadOnBus(benchmark::State& state) {
  Bus& b = bus();
  FieldNode& node = *b.sdo;
  const uint16_t index = state.range(1) == 4 ? Bus::kExpeditedIndex : Bus::kSegmentedIndex;
  TimedLine line(node, static_cast<uint32_t>(state.range(0)));
  char buf[kBuffer];
  time_on_bus(state, line, [&] { return node.segSdoRead(Bus::kSdoNodeId, index, 0, buf, kBuffer); });
}
BENCHMARK(BM_SdoUploadOnBus)
    ->ArgNames({"baud", "bytes"})
    ->ArgsProduct({{NTCAN_BAUD_1000, NTCAN_BAUD_125}, {4, 63}})
    ->UseManualTime()
    ->MinTime(0.3);

// can_poll of the node's device name (0x1008): the answer is waiting before
// the first attempt, which comes after the 5 ms sleep. Beside it the bound
// itself: canSend, a 5 ms nanosleep, canTake. Sleeps for real, so only a
// few iterations.
void BM_CanPollRoundTrip(benchmark::State& state) {
  Bus& b = bus();
  FieldNode& node = *b.sdo;
  const NTCAN_HANDLE h = node.raw_handle();
  const unsigned char request[8] = {0x40, 0x08, 0x10, 0x00, 0, 0, 0, 0};
  int failures = 0;
  Pair pair;
  for (auto _ : state) {
    state.SetIterationTime(1e-9 * pair.run(
        1,
        [&] {
          int ident = 0x600 + Bus::kSdoNodeId;
          int length = 8;
          unsigned char data[8];
          std::memcpy(data, request, sizeof data);
          failures += node.can_poll(&ident, &length, data) != 0 || ident != 0x580 + Bus::kSdoNodeId;
        },
        [&] {
          CMSG m{};
          m.id = 0x600 + Bus::kSdoNodeId;
          m.len = 8;
          std::memcpy(m.data, request, sizeof request);
          int32_t one = 1;
          failures += canSend(h, &m, &one) != NTCAN_SUCCESS;
          const timespec pause{0, 5000000};
          nanosleep(&pause, nullptr);
          CMSG in[10];
          int32_t n = 10;
          failures += canTake(h, in, &n) != NTCAN_SUCCESS || n != 1;
        },
        [] {}));
  }
  if (failures) state.SkipWithError("a poll failed");
  pair.report(state);
  state.counters["lib_over_5ms_us"] = state.counters["lib_ns"] / 1e3 - 5000;
  state.counters["bare_over_5ms_us"] = state.counters["bare_ns"] / 1e3 - 5000;
}
BENCHMARK(BM_CanPollRoundTrip)->UseManualTime()->Iterations(20);

// One read of the framework clock (TELVOtime), which an SDO wait makes when
// it starts and after every batch it takes: part of what an upload costs
// beyond the bare round trips.
void BM_FrameworkClockRead(benchmark::State& state) {
  bus();
  for (auto _ : state) benchmark::DoNotOptimize(TELVOtime());
}
BENCHMARK(BM_FrameworkClockRead)->MinTime(0.1);

}  // namespace
}  // namespace vorbel_bench
