// Process data on a timed bus: the line's SYNC producer every 10 ms at
// 500 kbit/s, eight simulated drives answering each SYNC with a synchronous
// transmit PDO, the server loop every 2 ms of framework time, and an
// unsynchronised node whose long frames now and then hold the bus when a
// SYNC is due.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "bus_clock.h"
#include "bus_fixture.h"
#include "canopen_device.h"

namespace {

constexpr int kNodes = 8;
constexpr int64_t kPeriodUs = 10000;
constexpr int kSyncs = 100;
constexpr int64_t kLoopUs = 2000;
constexpr int64_t kBitUs = 2;  // 500 kbit/s
constexpr int32_t kSync = 0x80;

class TimedBusTest : public testsupport::BusTest {
 protected:
  void SetUp() override {
    BusTest::SetUp();
    bus_ = std::make_unique<testsupport::ManualBusClock>(*clock_);
    bus_->drive_from_this_thread();
    for (int id = 1; id <= kNodes; ++id) {
      auto n = node_on(1, id, "DRIVE" + std::to_string(id));
      n->set_baudrate(500000);
      ASSERT_EQ(n->init(0x580 + id), 0);
      devices_.push_back(std::make_unique<canopen_sim::Device>(0, id));
      const char target[4] = {static_cast<char>(100 * id), static_cast<char>(100 * id >> 8), 0, 0};  // 100 x id
      devices_.back()->set_object(canopen_sim::kTargetVelocityIndex, 0, std::string(target, 4));
      nodes_.push_back(std::move(n));
    }
  }
  void TearDown() override {
    canline_shutdown();
    BusTest::TearDown();
  }

  std::unique_ptr<testsupport::ManualBusClock> bus_;
  std::vector<std::unique_ptr<testsupport::NodeProbe>> nodes_;
  std::vector<std::unique_ptr<canopen_sim::Device>> devices_;
};

}  // namespace

TEST_F(TimedBusTest, EveryDriveAnswersEverySyncWithOnePdoDecodedOnceAndSyncsKeepTheirPeriodWithinOneFrame) {
  vorbel::PdoConfig t;
  t.comm.transmission_type = 1;  // at every SYNC
  ASSERT_EQ(t.mapping.add(canopen_sim::kPositionIndex, 0, 32, vorbel::PdoType::Signed), 0);
  ASSERT_EQ(t.mapping.add(canopen_sim::kVelocityIndex, 0, 32, vorbel::PdoType::Signed), 0);
  for (int id = 1; id <= kNodes; ++id) {
    t.comm.cob_id = 0x180 + static_cast<uint32_t>(id);
    ASSERT_EQ(vorbel::pdo_write(*nodes_[id - 1], t), 0);
    ASSERT_EQ(nodes_[id - 1]->bind_tpdo(0x180 + id, t.mapping), 0);
  }
  for (int id = 1; id <= kNodes; ++id) ASSERT_EQ(nodes_[id - 1]->start_node(), 0);
  ASSERT_EQ(ntcan_sim::bus_stats(0).baud, static_cast<uint32_t>(NTCAN_BAUD_500));

  // Node 9's long frame (127 bits, near the 135 of the worst stuffing).
  const CMSG other = ntcan_sim::make_frame(0x289, {0x3C, 0x3C, 0x3C, 0x0F, 0x87, 0xC1, 0xE0, 0xF8});
  const int64_t other_us = ntcan_sim::frame_bits(other) * kBitUs;
  ASSERT_EQ(other_us, 254);

  bus_->advance_us(1000);  // the last SDO answers and NMT commands are through
  ntcan_sim::clear_trace();
  const int64_t start = clock_->now_us();
  ASSERT_EQ(canline_sync_start(1, {kPeriodUs, 0, kSync}), 0);
  ASSERT_TRUE(clock_->wait_for_sleepers(2)) << "the line's supervision and its SYNC producer";

  // The server loop, and node 9 queueing its frame 1..300 us before SYNCs 2..99
  // (the first and the last find the bus free).
  std::vector<uint64_t> seen(kNodes, 0);
  int fills_with_two = 0;
  int64_t next_loop = start + kLoopUs;
  int k_other = 2;
  const auto other_at = [&](int k) { return start + k * kPeriodUs - (1 + (k * 37) % 300); };
  const int64_t end = start + kSyncs * kPeriodUs + kPeriodUs / 2;
  while (clock_->now_us() < end) {
    const int64_t next = k_other < kSyncs ? std::min(next_loop, other_at(k_other)) : next_loop;
    bus_->advance_us(next - clock_->now_us());
    if (k_other < kSyncs && clock_->now_us() == other_at(k_other)) {
      ntcan_sim::inject(0, other, "node 9");
      ++k_other;
    }
    if (clock_->now_us() == next_loop) {
      can_looping();
      for (int i = 0; i < kNodes; ++i) {
        const uint64_t d = nodes_[static_cast<size_t>(i)]->tpdo(0x181 + i)->decoded();
        fills_with_two += d > seen[static_cast<size_t>(i)] + 1;
        seen[static_cast<size_t>(i)] = d;
      }
      next_loop += kLoopUs;
    }
  }
  ASSERT_EQ(canline_sync_stop(1), 0);
  const vorbel::SyncStats produced = canline_sync_stats(1);

  // SYNCs and PDOs as the bus carried them.
  std::vector<int64_t> syncs;
  std::vector<int> pdos(kNodes, 0);
  uint64_t bits = 0;
  for (const auto& e : ntcan_sim::trace(0)) {
    bits += ntcan_sim::frame_bits(e.frame.msg);
    if (e.frame.msg.id == kSync) syncs.push_back(e.time_us);
    if (e.frame.msg.id > 0x180 && e.frame.msg.id <= 0x180 + kNodes) ++pdos[static_cast<size_t>(e.frame.msg.id - 0x181)];
  }
  ASSERT_EQ(syncs.size(), static_cast<size_t>(kSyncs));
  long long worst = 0, shortest = kPeriodUs, longest = kPeriodUs;
  for (size_t i = 1; i < syncs.size(); ++i) {
    const long long interval = syncs[i] - syncs[i - 1];
    worst = std::max(worst, std::llabs(interval - kPeriodUs));
    shortest = std::min(shortest, interval);
    longest = std::max(longest, interval);
  }
  const double mean = static_cast<double>(syncs.back() - syncs.front()) / static_cast<double>(syncs.size() - 1);
  uint64_t dropped = 0, decoded = 0;
  for (int i = 0; i < kNodes; ++i) {
    SCOPED_TRACE("node " + std::to_string(i + 1));
    const auto r = nodes_[static_cast<size_t>(i)]->tpdo(0x181 + i);
    EXPECT_EQ(pdos[static_cast<size_t>(i)], kSyncs) << "one PDO per SYNC";
    EXPECT_EQ(r->decoded(), static_cast<uint64_t>(kSyncs));
    EXPECT_EQ(r->length_mismatches(), 0u);
    // The drive's position counts by its velocity at each SYNC: the last
    // values decoded are those of the hundredth SYNC.
    EXPECT_EQ(r->value(1).as_signed(), 100 * (i + 1));
    EXPECT_EQ(r->value(0).as_signed(), int64_t{kSyncs} * 100 * (i + 1));
    dropped += nodes_[static_cast<size_t>(i)]->frames_dropped();
    decoded += r->decoded();
  }
  EXPECT_EQ(fills_with_two, 0) << "a fill every 2 ms sees at most one PDO of a drive";
  EXPECT_EQ(dropped, 0u);
  EXPECT_EQ(ntcan_sim::bus_stats(0).rx_lost, 0u) << "the driver lost no frame (msg_lost)";
  EXPECT_EQ(produced.sent, static_cast<uint64_t>(kSyncs));
  EXPECT_EQ(produced.skipped + produced.failed, 0u);
  EXPECT_DOUBLE_EQ(mean, kPeriodUs);
  EXPECT_GT(worst, 0) << "node 9's frames held some SYNCs back";
  EXPECT_LE(worst, 135 * kBitUs) << "at most one frame of the worst stuffing";
  std::printf(
      "timed bus, 500 kbit/s: %zu SYNCs every %lld us, %llu PDOs of %d drives decoded, 0 lost\n"
      "  SYNC intervals on the bus: mean %.3f us, min %lld us, max %lld us, max |interval - period| %lld us"
      " (bound 270 us)\n"
      "  producer (framework time): %llu sent, max jitter %lld us, max lateness %lld us; bus load %.1f %%\n",
      syncs.size(), static_cast<long long>(kPeriodUs), static_cast<unsigned long long>(decoded), kNodes, mean,
      static_cast<long long>(shortest), static_cast<long long>(longest), static_cast<long long>(worst),
      static_cast<unsigned long long>(produced.sent), produced.max_jitter_us, produced.max_lateness_us,
      100.0 * static_cast<double>(bits * kBitUs) / static_cast<double>(clock_->now_us() - start));
}
