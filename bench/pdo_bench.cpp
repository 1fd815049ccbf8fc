// Decoding transmit PDOs: a PdoReceiver's take beside the decode device
// code writes by hand for the same mapping, on the same fills.
#include <array>

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

// Each fill: a heartbeat, the PDO (its values changing from fill to fill)
// and another node's PDO.
std::array<std::array<CMSG, 3>, kFills> make_fills() {
  std::array<std::array<CMSG, 3>, kFills> fills{};
  for (int f = 0; f < kFills; ++f) {
    auto& b = fills[static_cast<std::size_t>(f)];
    b[0] = ntcan_sim::make_frame(0x705, {0x05});
    b[1] = ntcan_sim::make_frame(kPdoId, {static_cast<uint8_t>(f), 0x10, 0x00, 0x80, static_cast<uint8_t>(0xFF - f),
                                          0xFF, 0x27, static_cast<uint8_t>(f * 3)});
    b[2] = ntcan_sim::make_frame(0x286, {1, 2, 3, 4});
  }
  return fills;
}

void BM_PdoDecode(benchmark::State& state) {
  const auto fills = make_fills();
  vorbel::PdoReceiver rx(kPdoId, drive_mapping());
  HandDecoded hand;
  Pair pair;
  long long now = 0;
  for (auto _ : state) {
    state.SetIterationTime(1e-9 * pair.run(
        kFills,
        [&] {
          for (const auto& b : fills) {
            rx.take(b.data(), 3, now);
            benchmark::ClobberMemory();
          }
        },
        [&] {
          for (const auto& b : fills) {
            hand_take(hand, b.data(), 3, now);
            benchmark::DoNotOptimize(hand);
            benchmark::ClobberMemory();
          }
        },
        [&] { ++now; }));
  }
  if (rx.decoded() != hand.frames || rx.latest().values[0].as_signed() != hand.position)
    state.SkipWithError("the two decodes disagree");
  pair.report(state);
}
BENCHMARK(BM_PdoDecode)->UseManualTime()->MinTime(0.2);

}  // namespace
}  // namespace vorbel_bench
