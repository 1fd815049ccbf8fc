// Frame I/O per frame: can_write followed by the peer's take, can_read and
// can_get of waiting frames, each beside the bare driver calls on the same
// handles.
#include "bench_common.h"

namespace vorbel_bench {
namespace {

constexpr int kFramesPerBlock = 100;  // a whole receive queue

// A frame goes out through can_write (bare: canSend on the node's handle)
// and the peer handle takes it at once.
void BM_WriteThenPeerTake(benchmark::State& state) {
  Bus& b = bus();
  FieldNode& io = *b.io;
  const NTCAN_HANDLE h = io.raw_handle();
  unsigned char data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  CMSG out{};
  out.id = Bus::kIoTx;
  out.len = 8;
  for (int i = 0; i < 8; ++i) out.data[i] = data[i];
  CMSG in[NodeField::kMaxFrames];
  long received = 0;
  int failures = 0;
  Pair pair;
  long iterations = 0;
  auto peer_take = [&] {
    int32_t n = NodeField::kMaxFrames;
    canTake(b.io_peer, in, &n);
    received += n;
  };
  for (auto _ : state) {
    state.SetIterationTime(1e-9 * pair.run(
        kFramesPerBlock,
        [&] {
          for (int f = 0; f < kFramesPerBlock; ++f) {
            failures += io.can_write(Bus::kIoTx, 8, data) != 0;
            peer_take();
          }
        },
        [&] {
          for (int f = 0; f < kFramesPerBlock; ++f) {
            int32_t one = 1;
            failures += canSend(h, &out, &one) != NTCAN_SUCCESS;
            peer_take();
          }
        },
        [] {}));
    ++iterations;
  }
  const double frames = static_cast<double>(iterations) * kFramesPerBlock;
  if (failures || received != static_cast<long>(2 * frames)) state.SkipWithError("a frame was lost");
  pair.report(state);
}
BENCHMARK(BM_WriteThenPeerTake)->UseManualTime()->MinTime(0.2);

// 100 frames wait in the node's queue (sent by the peer before the timed
// block); the timed block reads them one per call. Arg 0: can_read beside
// canRead; arg 1: can_get beside canTake.
void BM_ReadWaiting(benchmark::State& state) {
  Bus& b = bus();
  FieldNode& io = *b.io;
  const NTCAN_HANDLE h = io.raw_handle();
  const bool take = state.range(0) == 1;
  CMSG waiting[kFramesPerBlock];
  for (int f = 0; f < kFramesPerBlock; ++f) {
    waiting[f] = CMSG{};
    waiting[f].id = Bus::kIoRx;
    waiting[f].len = 8;
    waiting[f].data[0] = static_cast<uint8_t>(f);
  }
  CMSG got[1];
  long read = 0;
  int failures = 0;
  Pair pair;
  long iterations = 0;
  for (auto _ : state) {
    state.SetIterationTime(1e-9 * pair.run(
        kFramesPerBlock,
        [&] {
          for (int f = 0; f < kFramesPerBlock; ++f) {
            int n = 1;
            failures += (take ? io.can_get(got, &n) : io.can_read(got, &n)) != 0;
            read += n;
          }
        },
        [&] {
          for (int f = 0; f < kFramesPerBlock; ++f) {
            int32_t n = 1;
            failures += (take ? canTake(h, got, &n) : canRead(h, got, &n, nullptr)) != NTCAN_SUCCESS;
            read += n;
          }
        },
        [&] {
          int32_t n = kFramesPerBlock;
          failures += canSend(b.io_peer, waiting, &n) != NTCAN_SUCCESS;
        }));
    ++iterations;
  }
  const double frames = static_cast<double>(iterations) * kFramesPerBlock;
  if (failures || read != static_cast<long>(2 * frames)) state.SkipWithError("a frame was not read");
  pair.report(state);
}
BENCHMARK(BM_ReadWaiting)->ArgName("can_get")->Arg(0)->Arg(1)->UseManualTime()->MinTime(0.2);

}  // namespace
}  // namespace vorbel_bench
