// Many threads on one net at once: senders, a taker, a reader, devices, and
// a thread that keeps opening, querying and closing handles beside them.
#include <array>
#include <atomic>
#include <functional>
#include <thread>
#include <vector>

#include "sim_test_support.h"

namespace {

using namespace ntcan_test;

using ConcurrencyTest = SimTest;

constexpr int kSenders = 3;
constexpr int kFramesPerSender = 3000;
constexpr int32_t kFirstId = 0x100;

// What one receiving handle saw; `last` is each sender's last frame number.
struct Received {
  std::array<int, kSenders> last{-1, -1, -1};
  int total = 0, out_of_order = 0, reported_lost = 0;
  void add(const CMSG& m) {
    const int k = m.id - kFirstId, seq = m.data[0] | m.data[1] << 8;
    out_of_order += seq <= last[k];
    last[k] = seq;
    ++total;
    reported_lost += m.msg_lost;
  }
};

TEST_F(ConcurrencyTest, FramesSentFromManyThreadsArriveOnceAndInOrderOrAreCountedAsLost) {
  ntcan_sim::set_time_scale(0.001);  // canRead waits 1 ms
  ntcan_sim::set_trace_enabled(false);
  const NTCAN_HANDLE taker = open(0, {kFirstId, kFirstId + 1, kFirstId + 2}, 64);
  const NTCAN_HANDLE reader = open(0, {kFirstId, kFirstId + 1, kFirstId + 2}, 64);
  std::atomic<int> device_saw{0}, senders_left{kSenders};
  ntcan_sim::attach(0, "counter", [&](const ntcan_sim::BusFrame&) { ++device_saw; });

  std::vector<std::thread> threads;
  for (int k = 0; k < kSenders; ++k) {
    threads.emplace_back([k, &senders_left] {
      const NTCAN_HANDLE h = open(0);
      for (int seq = 0; seq < kFramesPerSender; ++seq) {
        const auto lo = static_cast<uint8_t>(seq), hi = static_cast<uint8_t>(seq >> 8);
        EXPECT_EQ(send(h, ntcan_sim::make_frame(kFirstId + k, {lo, hi})), NTCAN_SUCCESS);
      }
      EXPECT_EQ(canClose(h), NTCAN_SUCCESS);
      --senders_left;
    });
  }
  // One receiver takes, one reads; both drain until the senders are done.
  Received by_take, by_read;
  auto drain = [&senders_left](NTCAN_HANDLE h, Received& got, bool wait) {
    for (bool last_round = false; !last_round;) {
      last_round = senders_left == 0;
      CMSG buf[16];
      int32_t n = wait ? 5 : 16;
      const NTCAN_RESULT r = wait ? canRead(h, buf, &n, nullptr) : canTake(h, buf, &n);
      EXPECT_TRUE(r == NTCAN_SUCCESS || (wait && r == NTCAN_RX_TIMEOUT)) << r;
      for (int32_t i = 0; i < n; ++i) got.add(buf[i]);
      last_round = last_round && n == 0;
    }
  };
  threads.emplace_back(drain, taker, std::ref(by_take), false);
  threads.emplace_back(drain, reader, std::ref(by_read), true);
  // Handles come and go on the same net, as a line supervisor's would.
  threads.emplace_back([&] {
    for (int rounds = 0; senders_left > 0 || rounds < 10; ++rounds) {
      const NTCAN_HANDLE h = open(0, {kFirstId}, 4);
      CAN_IF_STATUS st;
      EXPECT_EQ(canSetBaudrate(h, 6), NTCAN_SUCCESS);
      EXPECT_EQ(canStatus(taker, &st), NTCAN_SUCCESS);
      EXPECT_EQ(canClose(h), NTCAN_SUCCESS);
    }
  });
  // A device leaving the net mid-run: once detach returns it is never called.
  std::atomic<bool> gone{false};
  std::atomic<int> transient_saw{0};
  const int transient = ntcan_sim::attach(0, "transient", [&](const ntcan_sim::BusFrame&) {
    EXPECT_FALSE(gone) << "called after detach returned";
    ++transient_saw;
  });
  while (transient_saw < 100 && senders_left > 0) std::this_thread::yield();
  ntcan_sim::detach(transient);
  gone = true;

  for (std::thread& t : threads) t.join();
  constexpr int kSent = kSenders * kFramesPerSender;
  EXPECT_EQ(device_saw, kSent);
  for (const auto& [h, got] : {std::pair{taker, &by_take}, std::pair{reader, &by_read}}) {
    const auto dropped = static_cast<int>(ntcan_sim::handle_info(h)->dropped);
    EXPECT_EQ(got->out_of_order, 0) << "handle " << h;
    EXPECT_EQ(got->total + dropped, kSent) << "handle " << h;
    EXPECT_LE(got->reported_lost, dropped) << "handle " << h;
    EXPECT_EQ(got->reported_lost > 0, dropped > 0) << "handle " << h;
  }
  EXPECT_EQ(ntcan_sim::handles(0), (std::vector<NTCAN_HANDLE>{taker, reader}));
}

}  // namespace
