// Block uploads and downloads of the SDO client against the simulated
// CANopen device, read as frame tables: their sequence, CRC, faults,
// fallback, progress and cancel.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <thread>

#include "bus_clock.h"
#include "device_fixture.h"

namespace {

using Frames = std::vector<std::string>;
using canopen_sim::BlockFault;

std::vector<unsigned char> pattern(size_t n) {
  std::vector<unsigned char> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<unsigned char>(i * 31 + i / 251);
  return v;
}

class SdoBlockTest : public DeviceTest {
 protected:
  void put(const std::vector<unsigned char>& value) { device_->set_object(0x2000, 0, {value.begin(), value.end()}); }
  int upload(const vorbel::SdoBlockOptions& options = {}) {
    return node_->sdo_block_upload(0x2000, 0, buf_.data(), static_cast<int>(buf_.size()), &len_, options);
  }
  int download(const std::vector<unsigned char>& value, const vorbel::SdoBlockOptions& options = {}) {
    return node_->sdo_block_download(0x2000, 0, value.data(), static_cast<int>(value.size()), options);
  }
  std::vector<unsigned char> uploaded() const { return {buf_.begin(), buf_.begin() + len_}; }
  std::vector<unsigned char> stored() const {
    const std::string s = *device_->object(0x2000, 0);
    return {s.begin(), s.end()};
  }
  std::vector<unsigned char> buf_ = std::vector<unsigned char>(70000);
  int len_ = -1;
};

}  // namespace

TEST_F(SdoBlockTest, ABlockUploadAndABlockDownloadFrameByFrameWithTheirCrc) {
  const std::vector<unsigned char> value = {'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I'};  // CRC 0x1ADC
  put(value);
  vorbel::SdoBlockOptions four;
  four.block_size = 4;
  ASSERT_EQ(upload(four), 0);
  EXPECT_EQ(uploaded(), value);
  EXPECT_EQ(frames(), (Frames{"-> 605: A4 00 20 00 04 00 00 00", "<- 585: C6 00 20 00 09 00 00 00",
                              "-> 605: A3 00 00 00 00 00 00 00", "<- 585: 01 41 42 43 44 45 46 47",
                              "<- 585: 82 48 49 00 00 00 00 00", "-> 605: A2 02 04 00 00 00 00 00",
                              "<- 585: D5 DC 1A 00 00 00 00 00", "-> 605: A1 00 00 00 00 00 00 00"}));
  device_->set_object(0x2000, 0, "");
  ASSERT_EQ(download(value), 0);
  EXPECT_EQ(stored(), value);
  EXPECT_EQ(frames(), (Frames{"-> 605: C6 00 20 00 09 00 00 00", "<- 585: A4 00 20 00 7F 00 00 00",
                              "-> 605: 01 41 42 43 44 45 46 47", "-> 605: 82 48 49 00 00 00 00 00",
                              "<- 585: A2 02 7F 00 00 00 00 00", "-> 605: D5 DC 1A 00 00 00 00 00",
                              "<- 585: A1 00 00 00 00 00 00 00"}));
  EXPECT_EQ(vorbel::sdo_crc16(reinterpret_cast<const unsigned char*>("123456789"), 9), 0x31C3);
}

// On a bus that keeps CAN's time a block arrives as the bus delivers it (not
// at once into the handle's receive queue of 100 frames): each transfer is
// whole, in the fewest frames, and takes exactly the time of their bits.
// (64 kB only in blocks of 4 and 127 with the CRC: the rest adds time, not
// cases.)
TEST_F(SdoBlockTest, EverySizeAndBlockSizeWithAndWithoutCrcGoesWholeInTheFewestFramesAtBusSpeed) {
  testsupport::ManualBusClock bus(*clock_);
  bus.drive_from_this_thread();
  ntcan_sim::set_trace_enabled(false);
  device_->set_object(0x2000, 0, "");
  for (const int size : {1, 7, 889, 890, 65536}) {
    const auto value = pattern(static_cast<size_t>(size));
    const int segments = (size + 6) / 7;
    for (const int block : {1, 4, 127}) {
      for (const bool crc : {true, false}) {
        if (size == 65536 && (block == 1 || !crc)) continue;
        const std::string what = std::to_string(size) + " bytes, block " + std::to_string(block) + (crc ? "" : ", no CRC");
        vorbel::SdoBlockOptions options;
        options.block_size = block;
        options.crc = crc;
        device_->set_block_size(block);
        const int blocks = (segments + block - 1) / block;
        const struct {
          std::function<int()> transfer;
          int frames;
        } runs[] = {{[&] { return download(value, options); }, 4 + segments + blocks},
                    {[&] { return upload(options); }, 5 + segments + blocks}};
        for (const auto& run : runs) {
          const auto before = ntcan_sim::bus_stats(0);
          const int64_t start = clock_->now_us();
          ASSERT_EQ(run.transfer(), 0) << what;
          for (int64_t next; (next = ntcan_sim::next_bus_event_us()) >= 0;) bus.advance_us(next - clock_->now_us());
          const auto after = ntcan_sim::bus_stats(0);
          EXPECT_EQ(after.frames - before.frames, static_cast<uint64_t>(run.frames)) << what;
          EXPECT_EQ(clock_->now_us() - start, static_cast<int64_t>((after.bits - before.bits) * 8)) << what;
        }
        EXPECT_EQ(stored(), value) << what;
        EXPECT_EQ(uploaded(), value) << what;
      }
    }
  }
}

TEST_F(SdoBlockTest, EachFaultOfTheNodeIsRecoveredFromOrEndedWithItsAbort) {
  const auto value = pattern(100);  // 15 segments
  const struct {
    const char* what;
    BlockFault fault;
    bool upload;
    uint32_t code;  // 0: the transfer succeeds
    const char* shows;
  } rows[] = {
      {"wrong CRC, upload", BlockFault::CorruptCrc, true, 0x05040004, "-> 605: 80 00 20 00 04 00 04 05"},
      {"wrong CRC, download", BlockFault::CorruptCrc, false, 0x05040004, "<- 585: 80 00 20 00 04 00 04 05"},
      {"lost segment, upload", BlockFault::DropSegment, true, 0, "-> 605: A2 01 40 00 00 00 00 00"},
      {"lost segment, download", BlockFault::DropSegment, false, 0, "<- 585: A2 01 7F 00 00 00 00 00"},
      {"no block transfers, upload", BlockFault::Refuse, true, 0, "-> 605: 60 00 00 00 00 00 00 00"},
      {"no block transfers, download", BlockFault::Refuse, false, 0, "-> 605: 21 00 20 00 64 00 00 00"},
  };
  for (const auto& row : rows) {
    put(row.upload ? value : std::vector<unsigned char>{});
    device_->set_block_fault(row.fault);
    EXPECT_EQ(row.upload ? upload() : download(value), row.code ? -1 : 0) << row.what;
    EXPECT_EQ(node_->sdo_abort_code(), row.code) << row.what;
    const Frames seen = frames();
    EXPECT_NE(std::find(seen.begin(), seen.end(), row.shows), seen.end()) << row.what;
    if (!row.code) {
      EXPECT_EQ(row.upload ? uploaded() : stored(), value) << row.what;
    }
    EXPECT_FALSE(device_->transfer_in_progress()) << row.what;
  }
  // A CRC the node does not offer is not used: its faults cannot show.
  device_->set_block_fault(BlockFault::CorruptCrc);
  device_->set_block_crc(false);
  EXPECT_EQ(upload(), 0);
  EXPECT_EQ(download(value), 0);

  // A write-only entry is refused to a block upload as to any other.
  device_->set_block_fault(BlockFault::None);
  device_->define_object(0x2000, 0, std::string(100, 'x'), canopen_sim::Access::WriteOnly, false);
  EXPECT_EQ(upload(), -1);
  EXPECT_EQ(node_->sdo_abort_code(), canopen_sim::kAbortWriteOnly);
}

TEST_F(SdoBlockTest, ANodeOutsideTheBlockRulesGetsTheClientsAbort) {
  const auto value = pattern(100);
  vorbel::SdoBlockOptions four;
  four.block_size = 4;
  const auto frame = [](std::initializer_list<uint8_t> bytes) { return ntcan_sim::make_frame(0x585, bytes); };
  const struct {
    const char* what;
    std::map<uint8_t, std::vector<CMSG>> answers;
    bool upload;
    uint32_t code;
  } rows[] = {
      {"block size 0", {{0xC6, {frame({0xA4, 0x00, 0x20, 0x00, 0, 0, 0, 0})}}}, false, 0x05040002},
      {"acknowledged beyond the block",
       {{0xC6, {frame({0xA4, 0x00, 0x20, 0x00, 4, 0, 0, 0})}}, {0x04, {frame({0xA2, 5, 4, 0, 0, 0, 0, 0})}}},
       false, 0x05040003},
      {"a segment beyond the block",
       {{0xA4, {frame({0xC6, 0x00, 0x20, 0x00, 100, 0, 0, 0})}},
        {0xA3, {frame({0x01, 1, 2, 3, 4, 5, 6, 7}), frame({0x05, 1, 2, 3, 4, 5, 6, 7})}}},
       true, 0x05040003},
      {"the end before the block was acknowledged", {{0xA4, {frame({0xC1, 0x00, 0x20, 0x00, 0, 0, 0, 0})}}}, true,
       0x05040001},
      // Each block is sent (or asked for) whole again, until the eighth.
      {"no segment of a download taken",
       {{0xC6, {frame({0xA4, 0x00, 0x20, 0x00, 2, 0, 0, 0})}}, {0x02, {frame({0xA2, 0, 2, 0, 0, 0, 0, 0})}}}, false,
       0x05040000},
      {"no segment of an upload in sequence",
       {{0xA4, {frame({0xC6, 0x00, 0x20, 0x00, 100, 0, 0, 0})}},
        {0xA3, {frame({0x02, 1, 2, 3, 4, 5, 6, 7}), frame({0x04, 1, 2, 3, 4, 5, 6, 7})}},
        {0xA2, {frame({0x02, 1, 2, 3, 4, 5, 6, 7}), frame({0x04, 1, 2, 3, 4, 5, 6, 7})}}},
       true, 0x05040000},
  };
  device_->set_silence(canopen_sim::Silence::Sdo);
  for (const auto& row : rows) {
    testsupport::SdoStandIn node(row.answers);
    EXPECT_EQ(row.upload ? upload(four) : download(value, four), -1) << row.what;
    EXPECT_EQ(node_->sdo_abort_code(), row.code) << row.what;
    char abort[40];
    std::snprintf(abort, sizeof abort, "-> 605: 80 00 20 00 %02X %02X %02X %02X", row.code & 0xFF, row.code >> 8 & 0xFF,
                  row.code >> 16 & 0xFF, row.code >> 24);
    const Frames seen = frames();
    EXPECT_EQ(seen.back(), abort) << row.what;
    if (row.code == 0x05040000) {
      const char* again = row.upload ? "-> 605: A2 00 04 00 00 00 00 00" : "-> 605: 01 00 1F 3E 5D 7C 9B BA";
      EXPECT_EQ(std::count(seen.begin(), seen.end(), again), row.upload ? 7 : 8) << row.what;
    }
  }
}

TEST_F(SdoBlockTest, ProgressComesAtMostEveryPercentAndACancelFromAnotherThreadSendsTheAbort) {
  const auto value = pattern(65536);
  device_->set_object(0x2000, 0, "");
  std::vector<std::pair<size_t, size_t>> calls;
  vorbel::SdoBlockOptions options;
  options.progress = [&](size_t done, size_t total) { calls.emplace_back(done, total); };
  for (const auto& transfer : std::vector<std::function<int()>>{[&] { return download(value, options); },
                                                                [&] { return upload(options); }}) {
    calls.clear();
    ASSERT_EQ(transfer(), 0);
    EXPECT_GE(calls.size(), 50u);
    EXPECT_LE(calls.size(), 101u);
    for (size_t i = 1; i + 1 < calls.size(); ++i) EXPECT_GE((calls[i].first - calls[i - 1].first) * 100, 65536u);
    EXPECT_EQ(calls.back(), std::make_pair(size_t{65536}, size_t{65536}));
  }

  vorbel::SdoCancel cancel;
  options.cancel = &cancel;
  options.progress = [&](size_t, size_t) { std::thread([&] { cancel.cancel(); }).join(); };
  frames();
  EXPECT_EQ(upload(options), -1);
  EXPECT_EQ(node_->sdo_abort_code(), vorbel::kSdoAbortCancelled);
  EXPECT_EQ(frames().back(), "-> 605: 80 00 20 00 21 00 00 08");
  EXPECT_FALSE(device_->transfer_in_progress());
  options.progress = nullptr;
  EXPECT_EQ(download(value, options), -1) << "a token stays cancelled";
  cancel.reset();
  EXPECT_EQ(download(value, options), 0);
}

TEST_F(SdoBlockTest, TheNodesOtherFramesDuringABlockUploadReachTheLoopInOrder) {
  put(pattern(890));  // 128 segments: 32 blocks of 4
  device_->set_chatter(true);
  ASSERT_EQ(node_->AddIdent(0x705), 0);
  ASSERT_EQ(node_->AddIdent(0x085), 0);
  vorbel::SdoBlockOptions four;
  four.block_size = 4;
  ASSERT_EQ(upload(four), 0);
  EXPECT_EQ(uploaded(), pattern(890));
  can_looping();
  CMSG batch[100];
  int count = 100;
  ASSERT_EQ(node_->can_array(batch, &count), 0);
  ASSERT_EQ(count, 2 * 34) << "before the initiate answer, each block and the end";
  for (int i = 0; i < count; ++i) EXPECT_EQ(batch[i].id, i % 2 ? 0x085 : 0x705) << i;
}

// A value up to the switch threshold may come unblocked, at the node's choice.
TEST_F(SdoBlockTest, ASmallValueComesExpeditedWhenTheClientAllowsIt) {
  put({1, 2, 3});
  vorbel::SdoBlockOptions options;
  options.switch_threshold = 3;
  ASSERT_EQ(upload(options), 0);
  EXPECT_EQ(frames(), (Frames{"-> 605: A4 00 20 00 40 03 00 00", "<- 585: 47 00 20 00 01 02 03 00"}));
  EXPECT_EQ(uploaded(), (std::vector<unsigned char>{1, 2, 3}));
}
