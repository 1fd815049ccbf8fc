// The PDO codec as tables of values against bytes, the mapping's limits, and
// the receiver that the server loop feeds.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <limits>
#include <thread>
#include <vector>

#include "D_vorbel.h"
#include "ntcan_sim.h"

using vorbel::PdoEntry;
using vorbel::PdoMapping;
using vorbel::PdoType;
using vorbel::PdoValue;
using Bytes = std::vector<unsigned char>;

namespace {

constexpr PdoType U = PdoType::Unsigned, S = PdoType::Signed, F32 = PdoType::Real32, F64 = PdoType::Real64;

PdoMapping mapping_of(const std::vector<PdoEntry>& entries) {
  PdoMapping m;
  for (const PdoEntry& e : entries) EXPECT_EQ(m.add(e), 0);
  return m;
}

PdoEntry e(int bits, PdoType type) { return PdoEntry{0x2000, 1, static_cast<uint8_t>(bits), type}; }

CMSG frame(int32_t id, const Bytes& data) {
  CMSG m{};
  m.id = id;
  m.len = static_cast<uint8_t>(data.size());
  for (size_t i = 0; i < data.size(); ++i) m.data[i] = data[i];
  return m;
}

}  // namespace

TEST(PdoCodec, ValuesEncodeToTheirBytesAndDecodeBackBitForBit) {
  const struct {
    const char* what;
    std::vector<PdoEntry> entries;
    std::vector<PdoValue> values;
    Bytes bytes;
  } rows[] = {
      {"1 bit", {e(1, U)}, {1u}, {0x01}},
      {"7 bits signed", {e(7, S)}, {-1}, {0x7F}},
      {"8 bits", {e(8, U)}, {0xA5u}, {0xA5}},
      {"12 + 12 bits across bytes", {e(12, U), e(12, S)}, {0xABCu, -2}, {0xBC, 0xEA, 0xFF}},
      {"16 bits signed, lowest", {e(16, S)}, {-32768}, {0x00, 0x80}},
      {"24 bits, highest", {e(24, U)}, {0xFFFFFFu}, {0xFF, 0xFF, 0xFF}},
      {"32 bits signed", {e(32, S)}, {-123456789}, {0xEB, 0x32, 0xA4, 0xF8}},
      {"32-bit real", {e(32, F32)}, {1.5}, {0x00, 0x00, 0xC0, 0x3F}},
      {"64-bit real", {e(64, F64)}, {-2.0}, {0, 0, 0, 0, 0, 0, 0, 0xC0}},
      {"64 bits, highest", {e(64, U)}, {std::numeric_limits<uint64_t>::max()}, Bytes(8, 0xFF)},
      {"64 bits signed, lowest", {e(64, S)}, {std::numeric_limits<int64_t>::min()}, {0, 0, 0, 0, 0, 0, 0, 0x80}},
      {"mixed, exactly 64 bits",
       {e(1, U), e(7, S), e(8, U), e(16, S), e(32, F32)},
       {1u, -3, 0x12u, -2, -0.25},
       {0xFB, 0x12, 0xFE, 0xFF, 0x00, 0x00, 0x80, 0xBE}},
      {"3 bits in a byte of their own", {e(3, U)}, {5u}, {0x05}},
  };
  for (const auto& row : rows) {
    const PdoMapping m = mapping_of(row.entries);
    ASSERT_EQ(m.bytes(), static_cast<int>(row.bytes.size())) << row.what;
    unsigned char data[8] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
    ASSERT_EQ(vorbel::pdo_encode(m, row.values.data(), m.size(), data), 0) << row.what;
    EXPECT_EQ(Bytes(data, data + m.bytes()), row.bytes) << row.what;
    EXPECT_EQ(Bytes(data + m.bytes(), data + 8), Bytes(static_cast<size_t>(8 - m.bytes()), 0xEE)) << row.what;
    std::vector<PdoValue> back(row.values.size());
    ASSERT_EQ(vorbel::pdo_decode(m, row.bytes.data(), m.bytes(), back.data()), 0) << row.what;
    EXPECT_EQ(back, row.values) << row.what;
  }
}

TEST(PdoCodec, AValueThatDoesNotFitItsEntryIsRefusedAndNothingIsWritten) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const struct {
    PdoEntry entry;
    PdoValue value;
    bool fits;
  } rows[] = {
      {e(8, U), 255u, true},      {e(8, U), 256u, false},     {e(8, U), -1, false},
      {e(8, U), 255.0, true},     {e(8, U), 1.5, false},      {e(8, U), -1.0, false},
      {e(7, S), -64, true},       {e(7, S), 63u, true},       {e(7, S), -65, false},
      {e(7, S), 64, false},       {e(7, S), 64u, false},      {e(64, S), ~uint64_t{0}, false},
      {e(64, U), 18446744073709551616.0, false},              {e(1, S), -1, true},
      {e(1, S), 1, false},        {e(32, F32), 3.5e38, false}, {e(32, F32), nan, true},
      {e(32, F32), -7, true},     {e(64, F64), nan, true},
  };
  for (const auto& row : rows) {
    const PdoMapping m = mapping_of({row.entry});
    unsigned char data[8] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
    int bad = 0;
    EXPECT_EQ(vorbel::pdo_encode(m, &row.value, 1, data, &bad), row.fits ? 0 : NTCAN_INVALID_PARAMETER)
        << int(row.entry.bits) << " bits, value " << row.value.as_real();
    EXPECT_EQ(bad, row.fits ? -1 : 0);
    EXPECT_EQ(Bytes(data, data + 8) == Bytes(8, 0xEE), !row.fits) << "written only when it fits";
  }
  const PdoMapping m = mapping_of({e(8, U)});
  const PdoValue one[] = {1u};
  unsigned char data[8] = {};
  EXPECT_EQ(vorbel::pdo_encode(m, one, 0, data), NTCAN_INVALID_PARAMETER) << "one value per entry";
  PdoValue out[1];
  EXPECT_EQ(vorbel::pdo_decode(m, data, 2, out), -1) << "a frame of another length";
}

TEST(PdoCodec, AMappingHoldsEntriesOf1To64BitsAndAtMost64BitsTogether) {
  PdoMapping m;
  EXPECT_EQ(m.add(0x2000, 1, 0), NTCAN_INVALID_PARAMETER);
  EXPECT_EQ(m.add(0x2000, 1, 65), NTCAN_INVALID_PARAMETER);
  EXPECT_EQ(m.add(0x2000, 1, 16, F32), NTCAN_INVALID_PARAMETER);
  EXPECT_EQ(m.add(0x2000, 1, 12), 0);
  EXPECT_EQ(m.add(0x2000, 2, 52, S), 0);
  EXPECT_EQ(m.add(0x2000, 3, 1), NTCAN_INVALID_PARAMETER);
  EXPECT_EQ(m.size(), 2);
  EXPECT_EQ(m.offset(1), 12);
  EXPECT_EQ(m.bytes(), 8);
  EXPECT_EQ(m.find(0x2000, 2), 1);
  EXPECT_EQ(m.find(0x2000, 3), -1);
  EXPECT_EQ(m.set_type(0, F32), NTCAN_INVALID_PARAMETER);
  EXPECT_EQ(m[1].packed(), 0x20000234u);
  EXPECT_EQ(vorbel::pdo_default_cob_id(vorbel::PdoKind::Transmit, 3, 5), 0x385u);
  EXPECT_EQ(vorbel::pdo_default_cob_id(vorbel::PdoKind::Receive, 4, 127), 0x57Fu);
  EXPECT_EQ(vorbel::pdo_default_cob_id(vorbel::PdoKind::Receive, 5, 5), vorbel::PdoComm::kInvalid);
}

TEST(PdoReceiver, DecodesItsFramesOfTheRightLengthCountsTheOthersAndLeavesTheRestAlone) {
  vorbel::PdoReceiver rx(0x185, mapping_of({e(32, S), e(16, S)}));
  EXPECT_EQ(rx.latest().time_ms, -1);
  const CMSG batch[] = {frame(0x185, {0xE8, 0x03, 0, 0, 0xFB, 0xFF}), frame(0x185, Bytes(8, 0)),
                        frame(0x285, {1, 2, 3, 4, 5, 6}), ntcan_sim::make_rtr(0x185, 6),
                        frame(0x185, {0xE9, 0x03, 0, 0, 0xFA, 0xFF})};
  EXPECT_EQ(rx.take(batch, 5, 42), 2);
  const vorbel::PdoSample s = rx.latest();
  EXPECT_EQ(s.count, 2);
  EXPECT_EQ(s.values[0], PdoValue(int64_t{1001}));
  EXPECT_EQ(s.values[1], PdoValue(int64_t{-6}));
  EXPECT_EQ(s.time_ms, 42);
  EXPECT_EQ(s.decoded, 2u);
  EXPECT_EQ(rx.length_mismatches(), 1u);

  vorbel::PdoReceiver unbound(0x800, mapping_of({e(8, U)}));
  EXPECT_FALSE(unbound.bound());
  EXPECT_EQ(unbound.take(batch, 5, 42), 0);
}

TEST(PdoReceiver, AReaderOnAnotherThreadNeverSeesTwoFramesMixed) {
  vorbel::PdoReceiver rx(0x185, mapping_of({e(32, U), e(32, U)}));
  std::atomic<bool> done{false};
  std::atomic<long> torn{0}, reads{0};
  std::thread reader([&] {
    while (!done.load()) {
      const vorbel::PdoSample s = rx.latest();
      if (s.decoded > 0 && s.values[1].as_unsigned() != (~s.values[0].as_unsigned() & 0xFFFFFFFF)) ++torn;
      ++reads;
    }
  });
  uint32_t k = 0;
  for (; k < 100000 || reads.load() < 1000; ++k) {
    const uint32_t a = k, b = ~k;
    const CMSG f = frame(0x185, {static_cast<unsigned char>(a), static_cast<unsigned char>(a >> 8),
                                 static_cast<unsigned char>(a >> 16), static_cast<unsigned char>(a >> 24),
                                 static_cast<unsigned char>(b), static_cast<unsigned char>(b >> 8),
                                 static_cast<unsigned char>(b >> 16), static_cast<unsigned char>(b >> 24)});
    rx.take(&f, 1, k);
  }
  done = true;
  reader.join();
  EXPECT_EQ(torn.load(), 0);
  EXPECT_EQ(rx.decoded(), k);
}
