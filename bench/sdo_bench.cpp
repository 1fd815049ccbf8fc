// SDO uploads and downloads with the simulated CANopen node, beside the
// same transfers made of bare send-and-take round trips; the CPU time of a
// wait for a silent node; the can_poll round trip beside its 5 ms sleep.

#include <time.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "bare_sdo.h"
#include "bench_common.h"
#include "ntcan_sim.h"
#include "telvo_clock.h"
#include "thread_cpu.h"

namespace vorbel_bench {
namespace {

using ntcan_sim::Call;

constexpr int kBuffer = 64;

// One transfer of each side, outside the timing and with the trace on, for
// its frames on the bus and its driver calls.
struct Traced {
  double frames = 0;
  double bits = 0;  // ntcan_sim::frame_bits of the frames
  double calls = 0;
  int ret = -1;
};
template <class Transfer>
Traced traced(int net, Transfer&& transfer) {
  ntcan_sim::set_trace_enabled(true);
  ntcan_sim::clear_trace();
  const uint64_t calls0 = driver_calls_on(net);
  Traced t;
  t.ret = transfer();
  const auto frames = ntcan_sim::trace(net);
  t.frames = static_cast<double>(frames.size());
  for (const auto& e : frames) t.bits += ntcan_sim::frame_bits(e.frame.msg);
  t.calls = static_cast<double>(driver_calls_on(net) - calls0);
  ntcan_sim::set_trace_enabled(false);
  ntcan_sim::clear_trace();
  return t;
}

// The library's transfer beside the bare one, alternating; `check` tells
// whether the traced pair did its work.
template <class Lib, class Bare, class Check>
void transfer_pair(benchmark::State& state, Lib&& lib, Bare&& bare, Check&& check) {
  Bus& b = bus();
  const int net = Bus::kSdoLine - 1;
  const Traced lib_t = traced(net, lib);
  const Traced bare_t = traced(net, bare);
  if (lib_t.ret != 0 || bare_t.ret != 0 || !check()) {
    state.SkipWithError("a transfer did not do its work");
    return;
  }
  int failures = 0;
  Pair pair;
  long iterations = 0;
  const uint64_t sends0 = ntcan_sim::calls(Call::Send, net);
  const uint64_t answers0 = b.device->frames_sent();
  for (auto _ : state) {
    state.SetIterationTime(
        1e-9 * pair.run(1, [&] { failures += lib() != 0; }, [&] { failures += bare() != 0; }, [] {}));
    ++iterations;
  }
  if (failures) state.SkipWithError("a transfer failed");
  pair.report(state);
  state.counters["frames"] = lib_t.frames;
  state.counters["bare_frames"] = bare_t.frames;
  state.counters["driver_calls"] = lib_t.calls;
  state.counters["bare_driver_calls"] = bare_t.calls;
  // Frames over every timed transfer of both sides: requests sent plus
  // answers of the simulated node, per transfer.
  state.counters["frames_avg"] =
      static_cast<double>(ntcan_sim::calls(Call::Send, net) - sends0 + b.device->frames_sent() - answers0) /
      (2.0 * static_cast<double>(iterations));
}

// Arg: bytes of the value, 4 (expedited: 2 frames) or 63 (segmented:
// initiate plus 9 segments, 20 frames).
void BM_SdoUpload(benchmark::State& state) {
  Bus& b = bus();
  FieldNode& node = *b.sdo;
  const NTCAN_HANDLE h = node.raw_handle();
  const uint16_t index = state.range(0) == 4 ? Bus::kExpeditedIndex : Bus::kSegmentedIndex;
  const std::string expected = *b.device->object(index, 0);
  char lib_buf[kBuffer] = {};
  char bare_buf[kBuffer] = {};
  transfer_pair(
      state, [&] { return node.segSdoRead(Bus::kSdoNodeId, index, 0, lib_buf, kBuffer); },
      [&] { return bare_upload(h, Bus::kSdoNodeId, index, bare_buf, kBuffer); },
      [&] { return expected == lib_buf && expected == bare_buf; });
}
BENCHMARK(BM_SdoUpload)->ArgName("bytes")->Arg(4)->Arg(63)->UseManualTime()->MinTime(0.2);

// The same values downloaded to a writable entry: 2 and 20 frames.
void BM_SdoDownload(benchmark::State& state) {
  Bus& b = bus();
  FieldNode& node = *b.sdo;
  const NTCAN_HANDLE h = node.raw_handle();
  const std::string value = *b.device->object(state.range(0) == 4 ? Bus::kExpeditedIndex : Bus::kSegmentedIndex, 0);
  const auto* data = reinterpret_cast<const unsigned char*>(value.data());
  const int len = static_cast<int>(value.size());
  transfer_pair(
      state, [&] { return node.sdo_download(Bus::kDownloadIndex, 0, data, len); },
      [&] { return bare_download(h, Bus::kSdoNodeId, Bus::kDownloadIndex, data, len); },
      [&] { return b.device->object(Bus::kDownloadIndex, 0) == value; });
}
BENCHMARK(BM_SdoDownload)->ArgName("bytes")->Arg(4)->Arg(63)->UseManualTime()->MinTime(0.2);

// CPU time of the waiting thread per second of waiting for a node that
// never answers, on the real clock: one upload per iteration, with the
// time-out of the argument (2500 ms, the default: 2 s blocked in the
// driver's read, then 0.5 s of short pauses; 300 ms: pauses only).
void BM_SilentNodeWait(benchmark::State& state) {
  Bus& b = bus();
  FieldNode& node = *b.sdo;
  const int net = Bus::kSdoLine - 1;
  b.device->set_silence(canopen_sim::Silence::Sdo);
  telvo::set_clock(nullptr);
  node.sdo_timeout_ms(static_cast<int>(state.range(0)));
  double cpu = 0, wall = 0;
  int results = 0;
  const uint64_t takes0 = ntcan_sim::calls(Call::Take, net), reads0 = ntcan_sim::calls(Call::Read, net);
  for (auto _ : state) {
    unsigned char buf[8];
    int len = 0;
    const double c0 = thread_cpu_s();
    const auto t0 = std::chrono::steady_clock::now();
    results += node.sdo_upload(0x1008, 0, buf, sizeof buf, &len) == -1;
    const double w = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    cpu += thread_cpu_s() - c0;
    wall += w;
    state.SetIterationTime(w);
  }
  node.sdo_timeout_ms(0);
  telvo::set_clock(b.clock);
  b.device->set_silence(canopen_sim::Silence::None);
  if (results != state.iterations()) state.SkipWithError("an upload did not time out");
  const double n = static_cast<double>(state.iterations());
  state.counters["cpu_ms_per_s"] = 1e3 * cpu / wall;
  state.counters["wall_s"] = wall / n;
  state.counters["takes"] = static_cast<double>(ntcan_sim::calls(Call::Take, net) - takes0) / n;
  state.counters["reads"] = static_cast<double>(ntcan_sim::calls(Call::Read, net) - reads0) / n;
}
BENCHMARK(BM_SilentNodeWait)->ArgName("timeout_ms")->Arg(2500)->Arg(300)->UseManualTime()->Iterations(2);

// The SDO node's line on a timed bus at one baud rate, for the life of the
// object, on the driver's own clock (real time).
class TimedLine {
 public:
  TimedLine(FieldNode& node, uint32_t baud) : node_(node) {
    canSetBaudrate(node.raw_handle(), baud);
    ntcan_sim::set_bus_timing(true);
  }
  ~TimedLine() {
    ntcan_sim::set_bus_timing(false);
    canSetBaudrate(node_.raw_handle(), NTCAN_BAUD_125);
  }
  TimedLine(const TimedLine&) = delete;
  TimedLine& operator=(const TimedLine&) = delete;

 private:
  FieldNode& node_;
};

// Transfers on a timed bus (arg 0: the baud-rate code): the wall time of
// each beside the time of its frames' bits, and the CPU time of the thread
// that makes it (the library's; the simulated bus and node run on the
// driver's thread). Medians.
template <class Transfer>
void time_on_bus(benchmark::State& state, Transfer&& transfer) {
  const auto baud = static_cast<uint32_t>(state.range(0));
  TimedLine line(*bus().sdo, baud);
  const Traced t = traced(Bus::kSdoLine - 1, transfer);
  if (t.ret != 0) {
    state.SkipWithError("the transfer failed");
    return;
  }
  const double bus_us = t.bits * ntcan_sim::bit_time_ns(baud) / 1e3;
  std::vector<double> wall, cpu;
  int failures = 0;
  for (auto _ : state) {
    const double c0 = thread_cpu_s();
    const auto t0 = std::chrono::steady_clock::now();
    failures += transfer() != 0;
    const auto t1 = std::chrono::steady_clock::now();
    cpu.push_back(1e6 * (thread_cpu_s() - c0));
    wall.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    state.SetIterationTime(wall.back() * 1e-6);
  }
  if (failures) state.SkipWithError("a transfer failed");
  const double wall_us = median(wall), cpu_us = median(cpu);
  state.counters["kbit_s"] = 1e6 / ntcan_sim::bit_time_ns(baud);
  state.counters["frames"] = t.frames;
  state.counters["bus_us"] = bus_us;
  state.counters["wall_us"] = wall_us;
  state.counters["wall_over_bus"] = wall_us / bus_us;
  state.counters["cpu_us"] = cpu_us;
  state.counters["cpu_share"] = cpu_us / wall_us;
}

// Args: baud-rate code, bytes of the value (4: expedited, 63: segmented).
void BM_SdoUploadOnBus(benchmark::State& state) {
  FieldNode& node = *bus().sdo;
  const uint16_t index = state.range(1) == 4 ? Bus::kExpeditedIndex : Bus::kSegmentedIndex;
  unsigned char buf[kBuffer];
  int len = 0;
  time_on_bus(state, [&] { return node.sdo_upload(index, 0, buf, kBuffer, &len); });
}
BENCHMARK(BM_SdoUploadOnBus)
    ->ArgNames({"baud", "bytes"})
    ->ArgsProduct({{NTCAN_BAUD_1000, NTCAN_BAUD_125}, {4, 63}})
    ->UseManualTime()
    ->MinTime(0.3);

void BM_SdoDownloadOnBus(benchmark::State& state) {
  Bus& b = bus();
  const std::string value = *b.device->object(state.range(1) == 4 ? Bus::kExpeditedIndex : Bus::kSegmentedIndex, 0);
  const auto* data = reinterpret_cast<const unsigned char*>(value.data());
  time_on_bus(state, [&] { return b.sdo->sdo_download(Bus::kDownloadIndex, 0, data, static_cast<int>(value.size())); });
}
BENCHMARK(BM_SdoDownloadOnBus)
    ->ArgNames({"baud", "bytes"})
    ->ArgsProduct({{NTCAN_BAUD_1000, NTCAN_BAUD_125}, {4, 63}})
    ->UseManualTime()
    ->MinTime(0.3);

// A large value by block transfer on a timed bus (args: baud-rate code,
// bytes, 0 upload / 1 download; blocks of 127 segments, CRC on), timed as
// above; beside it the same value by segmented transfer, timed once: its
// wall time, frames and the block transfer's speed-up over it. The
// framework clock is the real one meanwhile, so that the pauses of a
// download that finds the transmit queue full are real pauses.
void BM_BlockTransferOnBus(benchmark::State& state) {
  Bus& b = bus();
  FieldNode& node = *b.sdo;
  constexpr uint16_t kLargeIndex = 0x2003;
  const auto baud = static_cast<uint32_t>(state.range(0));
  const int bytes = static_cast<int>(state.range(1));
  const bool up = state.range(2) == 0;
  std::string value(static_cast<size_t>(bytes), '\0');
  for (int i = 0; i < bytes; ++i) value[static_cast<size_t>(i)] = static_cast<char>(i * 31 + i / 251);
  b.device->set_object(kLargeIndex, 0, value);
  const auto* data = reinterpret_cast<const unsigned char*>(value.data());
  std::vector<unsigned char> buf(static_cast<size_t>(bytes));
  int len = 0;
  vorbel::SdoBlockOptions options;
  options.block_size = 127;
  telvo::set_clock(nullptr);
  const auto segmented = [&] {
    return up ? node.sdo_upload(kLargeIndex, 0, buf.data(), bytes, &len) : node.sdo_download(kLargeIndex, 0, data, bytes);
  };
  double segmented_us = 0;
  Traced seg;
  {
    TimedLine line(node, baud);
    const auto t0 = std::chrono::steady_clock::now();
    seg = traced(Bus::kSdoLine - 1, segmented);
    segmented_us = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count();
  }
  time_on_bus(state, [&] {
    return up ? node.sdo_block_upload(kLargeIndex, 0, buf.data(), bytes, &len, options)
              : node.sdo_block_download(kLargeIndex, 0, data, bytes, options);
  });
  telvo::set_clock(b.clock);
  const bool read_back = !up || std::string(buf.begin(), buf.begin() + len) == value;
  if (seg.ret != 0 || *b.device->object(kLargeIndex, 0) != value || !read_back)
    state.SkipWithError("a transfer did not do its work");
  state.counters["segmented_frames"] = seg.frames;
  state.counters["segmented_wall_us"] = segmented_us;
  state.counters["speedup"] = segmented_us / state.counters["wall_us"];
  b.device->remove_object(kLargeIndex, 0);
}
BENCHMARK(BM_BlockTransferOnBus)
    ->ArgNames({"baud", "bytes", "down"})
    ->Args({NTCAN_BAUD_1000, 1024, 0})
    ->Args({NTCAN_BAUD_1000, 1024, 1})
    ->Args({NTCAN_BAUD_125, 1024, 0})
    ->Args({NTCAN_BAUD_125, 1024, 1})
    ->UseManualTime()
    ->MinTime(0.3);
BENCHMARK(BM_BlockTransferOnBus)
    ->ArgNames({"baud", "bytes", "down"})
    ->Args({NTCAN_BAUD_1000, 65536, 0})
    ->Args({NTCAN_BAUD_1000, 65536, 1})
    ->UseManualTime()
    ->Iterations(2);

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
// it starts and whenever it finds nothing waiting: part of what a transfer
// costs beyond the bare round trips.
void BM_FrameworkClockRead(benchmark::State& state) {
  bus();
  for (auto _ : state) benchmark::DoNotOptimize(TELVOtime());
}
BENCHMARK(BM_FrameworkClockRead)->MinTime(0.1);

}  // namespace
}  // namespace vorbel_bench
