// What only the simulated driver does: remote frames, handle numbers across
// resets, injected faults, and many threads on one net with a participant.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <initializer_list>
#include <thread>
#include <utility>
#include <vector>

#include "driver_calls.h"
#include "ntcan.h"
#include "ntcan_sim.h"

extern "C" int ntcan_c_round_trip(int net);

namespace {

using ntcan_sim::Call;
using ntcan_sim::make_frame;

struct SimTest : testing::Test {
  SimTest() { ntcan_sim::reset(); }
};

TEST_F(SimTest, RemoteFramesTravelAndCallsOnClosedHandleNumbersAreCountedAcrossAReset) {
  const NTCAN_HANDLE a = open(0, {0x181});
  const NTCAN_HANDLE b = open(0);
  const NTCAN_HANDLE closed = open(0);
  ASSERT_EQ(canClose(closed), NTCAN_SUCCESS);
  ASSERT_EQ(send(b, ntcan_sim::make_rtr(0x181, 2)), NTCAN_SUCCESS);
  EXPECT_EQ(take_all(a).at(0).len, NTCAN_RTR | 2);
  NTCAN_HANDLE out = 42;
  EXPECT_EQ(canOpen(20, 0, 10, 100, 0, 0, &out), NTCAN_NET_NOT_FOUND);
  EXPECT_EQ(ntcan_c_round_trip(7), 0x5A) << "the same from C";

  // The calls on `closed` are counted; those on numbers never issued are not.
  EXPECT_EQ(canClose(closed), NTCAN_INVALID_HANDLE);
  EXPECT_EQ(send(999999, make_frame(0x1, {})), NTCAN_INVALID_HANDLE);
  EXPECT_EQ(ntcan_sim::calls_on_closed_handles(), 1u);
  // Handle numbers are never reused, not even after a reset.
  ntcan_sim::reset();
  EXPECT_EQ(canIdAdd(a, 0x1), NTCAN_INVALID_HANDLE);
  EXPECT_EQ(ntcan_sim::calls_on_closed_handles(), 1u);
  EXPECT_GT(open(2), closed);
}

TEST_F(SimTest, WithReuseANewHandleTakesTheLowestFreeNumberOnAnyNet) {
  ntcan_sim::set_handle_reuse(true);
  ntcan_sim::reset();
  const NTCAN_HANDLE first = open(0), second = open(0), third = open(1);
  EXPECT_EQ(std::vector<NTCAN_HANDLE>({first, second, third}), std::vector<NTCAN_HANDLE>({1, 2, 3}));
  ASSERT_EQ(canClose(second), NTCAN_SUCCESS);
  ASSERT_EQ(canClose(first), NTCAN_SUCCESS);
  EXPECT_EQ(send(first, make_frame(0x1, {})), NTCAN_INVALID_HANDLE);
  EXPECT_EQ(ntcan_sim::calls_on_closed_handles(), 1u);
  EXPECT_EQ(open(5), 1) << "the number kept after the close now names a handle on net 5";
  EXPECT_EQ(send(first, make_frame(0x1, {})), NTCAN_SUCCESS);
  EXPECT_EQ(ntcan_sim::calls_on_closed_handles(), 1u) << "a reused number is not seen as closed";
  ntcan_sim::set_handle_reuse(false);
  EXPECT_EQ(open(0), 4) << "without reuse the numbers go on above every number issued";
}

TEST_F(SimTest, InjectedFaultsFailTheirCallsOnTheirNetAndLeaveTheStateTheFailureDescribes) {
  ntcan_sim::fail_until_cleared(1, Call::Open, NTCAN_SOCK_CONN_TIMEOUT);
  NTCAN_HANDLE h = 17;
  for (int i = 0; i < 2; ++i) EXPECT_EQ(canOpen(1, 0, 10, 100, 1000, 1000, &h), NTCAN_SOCK_CONN_TIMEOUT);
  EXPECT_EQ(h, NTCAN_NO_HANDLE);
  const NTCAN_HANDLE peer = open(2);
  ntcan_sim::clear_fault(1, Call::Open);
  h = open(1, {0x10});
  const NTCAN_HANDLE sender = open(1);

  // One good canSend, then two that fail and deliver nothing.
  ntcan_sim::fail_after(1, Call::Send, 1, NTCAN_TX_ERROR, 2);
  for (uint8_t i = 1; i <= 4; ++i) {
    EXPECT_EQ(send(sender, make_frame(0x10, {i})), i == 2 || i == 3 ? NTCAN_TX_ERROR : NTCAN_SUCCESS) << +i;
  }
  EXPECT_EQ(send(peer, make_frame(0x10, {5})), NTCAN_SUCCESS) << "net 2 has no fault";
  // A failed canRead takes nothing.
  ntcan_sim::fail_next(1, Call::Read, NTCAN_CONTR_OFF_BUS);
  CMSG m;
  int32_t n = 1;
  EXPECT_EQ(canRead(h, &m, &n, nullptr), NTCAN_CONTR_OFF_BUS);
  EXPECT_EQ(n, 0);
  const auto got = take_all(h);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[1].data[0], 4);
  // A failed canClose is reported, but the handle is gone.
  ntcan_sim::fail_next(1, Call::Close, NTCAN_SOCK_CMD_TIMEOUT);
  EXPECT_EQ(canClose(h), NTCAN_SOCK_CMD_TIMEOUT);
  EXPECT_EQ(canClose(h), NTCAN_INVALID_HANDLE);
  EXPECT_EQ(ntcan_sim::handles(1), std::vector<NTCAN_HANDLE>{sender});
}

// Senders on threads of their own, each opening and closing its handle; a
// device counts the frames, one handle takes them and one reads them.
TEST_F(SimTest, FramesSentFromManyThreadsArriveOnceAndInOrderOrAreCountedAsLost) {
  constexpr int kSenders = 3, kFrames = 3000, kSent = kSenders * kFrames;
  ntcan_sim::set_time_scale(0.001);  // canRead waits 1 ms
  ntcan_sim::set_trace_enabled(false);
  const NTCAN_HANDLE taker = open(0, {0x100, 0x101, 0x102}, 64);
  const NTCAN_HANDLE reader = open(0, {0x100, 0x101, 0x102}, 64);
  std::atomic<int> device_saw{0}, senders_left{kSenders};
  ntcan_sim::attach(0, "counter", [&](const ntcan_sim::BusFrame&) { ++device_saw; });
  std::vector<std::thread> threads;
  for (int k = 0; k < kSenders; ++k) {
    threads.emplace_back([k, &senders_left] {
      const NTCAN_HANDLE h = open(0);
      for (int seq = 0; seq < kFrames; ++seq) {
        const auto lo = static_cast<uint8_t>(seq), hi = static_cast<uint8_t>(seq >> 8);
        EXPECT_EQ(send(h, make_frame(0x100 + k, {lo, hi})), NTCAN_SUCCESS);
      }
      EXPECT_EQ(canClose(h), NTCAN_SUCCESS);
      --senders_left;
    });
  }
  struct Received {
    std::array<int, kSenders> last{-1, -1, -1};
    int total = 0, out_of_order = 0, reported_lost = 0;
  } by_take, by_read;
  auto drain = [&senders_left](NTCAN_HANDLE h, Received* got, bool wait) {
    for (bool last_round = false; !last_round;) {
      last_round = senders_left == 0;
      CMSG buf[16];
      int32_t n = wait ? 5 : 16;
      const NTCAN_RESULT r = wait ? canRead(h, buf, &n, nullptr) : canTake(h, buf, &n);
      EXPECT_TRUE(r == NTCAN_SUCCESS || (wait && r == NTCAN_RX_TIMEOUT)) << r;
      for (const CMSG& m : std::vector<CMSG>(buf, buf + n)) {
        const int k = m.id - 0x100, seq = m.data[0] | m.data[1] << 8;
        got->out_of_order += seq <= got->last[k];
        got->last[k] = seq;
        ++got->total;
        got->reported_lost += m.msg_lost;
      }
      last_round = last_round && n == 0;
    }
  };
  threads.emplace_back(drain, taker, &by_take, false);
  threads.emplace_back(drain, reader, &by_read, true);
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(device_saw, kSent);
  for (const auto& [h, got] : {std::pair{taker, &by_take}, std::pair{reader, &by_read}}) {
    const auto dropped = static_cast<int>(ntcan_sim::handle_info(h)->dropped);
    EXPECT_EQ(got->out_of_order, 0) << "handle " << h;
    EXPECT_EQ(got->total + dropped, kSent) << "handle " << h;
    EXPECT_LE(got->reported_lost, dropped) << "handle " << h;
    EXPECT_EQ(got->reported_lost > 0, dropped > 0) << "handle " << h;
  }
}

}  // namespace
