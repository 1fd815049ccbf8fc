// Many threads on one net at once: senders, takers, a reader, a device, and a
// thread that keeps opening, querying and closing handles beside them.
#include <array>
#include <atomic>
#include <thread>
#include <vector>

#include "sim_test_support.h"

namespace {

using namespace ntcan_test;

using ConcurrencyTest = SimTest;

constexpr int kSenders = 3;
constexpr uint32_t kFramesPerSender = 3000;
constexpr int32_t kFirstId = 0x100;

// What one receiving handle saw, per sender.
struct Received {
  std::array<uint32_t, kSenders> count{};
  std::array<int64_t, kSenders> last_seq{-1, -1, -1};
  uint64_t reported_lost = 0;
  int out_of_order = 0;

  void add(const CMSG& m) {
    const int k = m.id - kFirstId;
    const uint32_t seq = static_cast<uint32_t>(m.data[0]) | static_cast<uint32_t>(m.data[1]) << 8 |
                         static_cast<uint32_t>(m.data[2]) << 16;
    if (static_cast<int64_t>(seq) <= last_seq[k]) ++out_of_order;
    last_seq[k] = seq;
    ++count[k];
    reported_lost += m.msg_lost;
  }
  uint64_t total() const { return uint64_t{count[0]} + count[1] + count[2]; }
};

TEST_F(ConcurrencyTest, FramesSentFromManyThreadsArriveOnceAndInOrderOrAreCountedAsLost) {
  constexpr int kNet = 0;
  ntcan_sim::set_time_scale(0.001);  // canRead waits 1 ms
  ntcan_sim::set_trace_enabled(false);
  const NTCAN_HANDLE taker = open(kNet, {kFirstId, kFirstId + 1, kFirstId + 2}, 64);
  const NTCAN_HANDLE reader = open(kNet, {kFirstId, kFirstId + 1, kFirstId + 2}, 64);
  std::atomic<uint64_t> device_saw{0};
  ntcan_sim::attach(kNet, "counter", [&](const ntcan_sim::BusFrame&) { ++device_saw; });

  std::atomic<int> senders_left{kSenders};
  std::vector<std::thread> threads;
  for (int k = 0; k < kSenders; ++k) {
    threads.emplace_back([k, &senders_left] {
      const NTCAN_HANDLE h = open(kNet);
      for (uint32_t seq = 0; seq < kFramesPerSender; ++seq) {
        CMSG m{};
        m.id = kFirstId + k;
        m.len = 3;
        m.data[0] = static_cast<uint8_t>(seq);
        m.data[1] = static_cast<uint8_t>(seq >> 8);
        m.data[2] = static_cast<uint8_t>(seq >> 16);
        int32_t n = 1;
        EXPECT_EQ(canSend(h, &m, &n), NTCAN_SUCCESS);
      }
      EXPECT_EQ(canClose(h), NTCAN_SUCCESS);
      --senders_left;
    });
  }

  Received by_take;
  Received by_read;
  threads.emplace_back([&] {
    CMSG buf[16];
    for (;;) {
      const bool last_round = senders_left == 0;
      int32_t n = 16;
      EXPECT_EQ(canTake(taker, buf, &n), NTCAN_SUCCESS);
      for (int32_t i = 0; i < n; ++i) by_take.add(buf[i]);
      if (n == 0 && last_round) return;
    }
  });
  threads.emplace_back([&] {
    CMSG buf[5];
    for (;;) {
      const bool last_round = senders_left == 0;
      int32_t n = 5;
      const NTCAN_RESULT r = canRead(reader, buf, &n, nullptr);
      EXPECT_TRUE(r == NTCAN_SUCCESS || r == NTCAN_RX_TIMEOUT) << r;
      for (int32_t i = 0; i < n; ++i) by_read.add(buf[i]);
      if (n == 0 && last_round) return;
    }
  });

  // Handles come and go on the same net, as a line supervisor's would.
  int churns = 0;
  threads.emplace_back([&] {
    while (senders_left > 0 || churns < 10) {
      const NTCAN_HANDLE h = open(kNet, {kFirstId}, 4);
      EXPECT_EQ(canSetBaudrate(h, 6), NTCAN_SUCCESS);
      CAN_IF_STATUS st;
      EXPECT_EQ(canStatus(taker, &st), NTCAN_SUCCESS);
      EXPECT_EQ(canStatus(h, &st), NTCAN_SUCCESS);
      (void)ntcan_sim::handles(kNet);
      EXPECT_EQ(canClose(h), NTCAN_SUCCESS);
      ++churns;
    }
  });

  for (std::thread& t : threads) t.join();

  const uint64_t sent = uint64_t{kSenders} * kFramesPerSender;
  EXPECT_EQ(device_saw, sent);
  for (const auto& [h, got] : {std::pair{taker, &by_take}, std::pair{reader, &by_read}}) {
    const uint64_t dropped = ntcan_sim::handle_info(h)->dropped;
    EXPECT_EQ(got->out_of_order, 0) << "handle " << h;
    EXPECT_EQ(got->total() + dropped, sent) << "handle " << h;
    EXPECT_LE(got->reported_lost, dropped) << "handle " << h;
    EXPECT_EQ(got->reported_lost > 0, dropped > 0) << "handle " << h;
  }
  EXPECT_EQ(ntcan_sim::handles(kNet), (std::vector<NTCAN_HANDLE>{taker, reader}));
  EXPECT_GE(churns, 10);
}

}  // namespace
