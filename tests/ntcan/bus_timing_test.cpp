// The simulated driver with bus timing on: frame lengths in bits, one frame
// at a time in arbitration order, delivery at a frame's end, waiting reads,
// bounded transmit queues and the nets' counters, on the manual clock.
#include <gtest/gtest.h>

#include <cstdio>
#include <future>
#include <vector>

#include "bus_clock.h"
#include "driver_calls.h"
#include "ntcan.h"
#include "ntcan_sim.h"
#include "wire_client.h"

namespace {

using ntcan_sim::frame_bits;
using ntcan_sim::make_frame;

constexpr int64_t kBitUs = 8;  // 125 kbit/s, the rate of a net before a handle sets one

struct BusTimingTest : testing::Test {
  BusTimingTest() : clock(telvo::install_manual_clock()), bus((ntcan_sim::reset(), clock)) {}
  int64_t now() { return clock.now_us(); }
  static int64_t us(const CMSG& m) { return frame_bits(m) * kBitUs; }
  telvo::ManualClock& clock;
  testsupport::ManualBusClock bus;
};

TEST(FrameBits, FrameLengthsMatchTheirBitPatternsCountedByHand) {
  // 98 bits before stuffing: 15 zeros (3 stuff bits), DLC 1000, 67 zeros
  // (13), CRC 0x145B (none); 16 stuff bits, and 13 unstuffed bits after.
  EXPECT_EQ(frame_bits(make_frame(0x000, {0, 0, 0, 0, 0, 0, 0, 0})), 98u + 16 + 13);
  // NMT start of node 5: 50 bits before stuffing (CRC 0x7CC1), 7 stuff bits.
  EXPECT_EQ(frame_bits(make_frame(0x000, {0x01, 0x05})), 50u + 7 + 13);
  // A remote request carries no data but its length code: 34 bits, 2 stuffed.
  EXPECT_EQ(frame_bits(ntcan_sim::make_rtr(0x705)), 34u + 2 + 13);
  EXPECT_EQ(frame_bits(ntcan_sim::make_rtr(0x705, 1)), 34u + 2 + 13);
  // Identifier 0x7FF: eleven ones, 15 stuff bits with 8 bytes of 0xFF, 3 with none.
  EXPECT_EQ(frame_bits(make_frame(0x7FF, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF})), 98u + 15 + 13);
  EXPECT_EQ(frame_bits(make_frame(0x7FF, {})), 34u + 3 + 13);

  EXPECT_EQ(ntcan_sim::bit_time_ns(NTCAN_BAUD_1000), 1000u);
  EXPECT_EQ(ntcan_sim::bit_time_ns(NTCAN_BAUD_125), 8000u);
  EXPECT_EQ(ntcan_sim::bit_time_ns(NTCAN_BAUD_800), 1250u);
  EXPECT_EQ(ntcan_sim::bit_time_ns(15), 0u);
}

TEST_F(BusTimingTest, FramesGoOutOneAtATimeLowestIdentifierFirstAndArriveWhenTheirLastBitIsOnTheNet) {
  const NTCAN_HANDLE a = open(0), b = open(0), c = open(0);
  const NTCAN_HANDLE r = open(0, {0x100, 0x200, 0x300});
  testsupport::WireClient watcher(ntcan_sim::serve_socketcand("127.0.0.1:0"));
  ASSERT_TRUE(watcher.open_raw(0));
  const CMSG high = make_frame(0x300, {1}), mid = make_frame(0x200, {2, 2}), low = make_frame(0x100, {3});
  const int64_t t0 = now();
  ASSERT_EQ(send(a, high), NTCAN_SUCCESS);
  ASSERT_EQ(send(b, mid), NTCAN_SUCCESS);  // queued at the same moment: wins
  bus.advance_us(1);
  ASSERT_EQ(send(c, low), NTCAN_SUCCESS);  // too late to displace 0x200 from the net

  const int64_t end_mid = t0 + us(mid), end_low = end_mid + us(low), end_high = end_low + us(high);
  bus.advance_us(end_mid - 1 - now());
  EXPECT_EQ(ntcan_sim::queued(r), 0u) << "one microsecond before its last bit";
  EXPECT_EQ(watcher.next(20), "") << "nor on the served net";
  bus.advance_us(1);
  EXPECT_EQ(ntcan_sim::queued(r), 1u);
  char seen[64];
  std::snprintf(seen, sizeof seen, "< frame 200 %lld.%06lld 0202 >", static_cast<long long>(end_mid / 1000000),
                static_cast<long long>(end_mid % 1000000));
  EXPECT_EQ(watcher.next(), seen);
  bus.advance_us(end_high - now());

  std::vector<int32_t> ids;
  std::vector<int64_t> stamps;
  for (const auto& e : ntcan_sim::trace(0)) {
    ids.push_back(e.frame.msg.id);
    stamps.push_back(e.time_us);
  }
  EXPECT_EQ(ids, std::vector<int32_t>({0x200, 0x100, 0x300}));
  EXPECT_EQ(stamps, std::vector<int64_t>({end_mid, end_low, end_high}));
  EXPECT_EQ(take_all(r).size(), 3u);
}

TEST_F(BusTimingTest, AWaitingReadWakesAtTheFramesEndAndAnAnswerFollowsItsRequestWithoutAGap) {
  const NTCAN_HANDLE sender = open(0);
  const NTCAN_HANDLE reader = open(0, {0x181, 0x581}, 100, 50);
  const CMSG pdo = make_frame(0x181, {1, 2, 3, 4});

  // Another thread waits; the test moves time.
  auto got = std::async(std::launch::async, [reader] {
    CMSG m{};
    int32_t n = 1;
    const NTCAN_RESULT r = canRead(reader, &m, &n, nullptr);
    return r == NTCAN_SUCCESS && n == 1 ? m.id : -static_cast<int32_t>(r);
  });
  const int64_t t0 = now();
  ASSERT_EQ(send(sender, pdo), NTCAN_SUCCESS);
  bus.advance_us(us(pdo) - 1);
  EXPECT_EQ(got.wait_for(std::chrono::milliseconds(20)), std::future_status::timeout);
  bus.advance_us(1);
  EXPECT_EQ(got.get(), 0x181);
  EXPECT_EQ(now(), t0 + us(pdo));

  // A device answers a request as it sees it; this thread drives the clock,
  // so its read moves time to the answer's end, and no further.
  const CMSG answer = make_frame(0x581, {0x43, 0x00, 0x10, 0x00, 0x92, 0x01, 0x02, 0x00});
  ntcan_sim::attach(0, "node 1", [&answer](const ntcan_sim::BusFrame& f) {
    if (f.msg.id == 0x601) ntcan_sim::inject(0, answer, "node 1");
  });
  bus.drive_from_this_thread();
  const CMSG request = make_frame(0x601, {0x40, 0x00, 0x10, 0x00, 0, 0, 0, 0});
  const int64_t t1 = now();
  ASSERT_EQ(send(sender, request), NTCAN_SUCCESS);
  CMSG m{};
  int32_t n = 1;
  ASSERT_EQ(canRead(reader, &m, &n, nullptr), NTCAN_SUCCESS);
  EXPECT_EQ(m.id, 0x581);
  EXPECT_EQ(now(), t1 + us(request) + us(answer));
  // Nothing more comes: the read times out after its 50 ms of bus time.
  const int64_t t2 = now();
  n = 1;
  EXPECT_EQ(canRead(reader, &m, &n, nullptr), NTCAN_RX_TIMEOUT);
  EXPECT_EQ(now(), t2 + 50000);
}

// The same without a test clock: the driver delivers on its own clock, here
// a hundred times faster than real time.
TEST(BusTimingOnTheDriversClock, AReadWaitingForAnAnswerWakesAndTheAnswerFollowsTheRequestInBusTime) {
  ntcan_sim::reset();
  ntcan_sim::set_time_scale(0.01);
  ntcan_sim::set_bus_timing(true);
  const CMSG answer = make_frame(0x581, {0x4F, 0x00, 0x10, 0x00, 0x92});
  ntcan_sim::attach(0, "node 1", [&answer](const ntcan_sim::BusFrame& f) {
    if (f.msg.id == 0x601) ntcan_sim::inject(0, answer, "node 1");
  });
  const NTCAN_HANDLE h = open(0, {0x581});
  ASSERT_EQ(send(h, make_frame(0x601, {0x40, 0x00, 0x10, 0x00, 0, 0, 0, 0})), NTCAN_SUCCESS);
  CMSG m{};
  int32_t n = 1;
  ASSERT_EQ(canRead(h, &m, &n, nullptr), NTCAN_SUCCESS);
  EXPECT_EQ(m.id, 0x581);
  const auto t = ntcan_sim::trace(0);
  ASSERT_EQ(t.size(), 2u);
  EXPECT_EQ(t[1].time_us - t[0].time_us, frame_bits(answer) * kBitUs);
  ntcan_sim::set_bus_timing(false);
}

TEST_F(BusTimingTest, TransmitQueuesAreBoundedAndTheNetCountsFramesBitsLoadAndLosses) {
  NTCAN_HANDLE small = NTCAN_NO_HANDLE;
  ASSERT_EQ(canOpen(1, 0, 2, 100, 1000, 1000, &small), NTCAN_SUCCESS);
  ASSERT_EQ(canSetBaudrate(small, NTCAN_BAUD_1000), NTCAN_SUCCESS);
  const NTCAN_HANDLE one_slot = open(1, {0x123}, 1);
  const CMSG f = make_frame(0x123, {0xAA});
  EXPECT_EQ(send(small, f), NTCAN_SUCCESS);
  EXPECT_EQ(send(small, f), NTCAN_SUCCESS);
  EXPECT_EQ(send(small, f), NTCAN_TX_ERROR) << "two frames wait already";
  EXPECT_EQ(ntcan_sim::handle_info(small)->tx_waiting, 2u);

  bus.advance_us(1000);  // 2 frames of frame_bits(f) us at 1 Mbit/s
  ntcan_sim::BusStats st = ntcan_sim::bus_stats(1);
  EXPECT_EQ(st.baud, static_cast<uint32_t>(NTCAN_BAUD_1000));
  EXPECT_EQ(st.frames, 2u);
  EXPECT_EQ(st.bits, 2u * frame_bits(f));
  EXPECT_DOUBLE_EQ(st.load, 2.0 * frame_bits(f) / 1e6);
  EXPECT_EQ(st.rx_lost, 1u) << "a receive queue of one frame";
  EXPECT_EQ(st.tx_refused, 1u);
  EXPECT_EQ(take_all(one_slot).at(0).msg_lost, 1);
  bus.advance_us(1000000);
  EXPECT_EQ(ntcan_sim::bus_stats(1).load, 0.0) << "nothing in the last second";

  // A closed handle's waiting frames never go; switching timing off sends
  // what waits at once, and from then on frames travel before canSend returns.
  const NTCAN_HANDLE closing = open(1), other = open(1);
  ASSERT_EQ(send(closing, make_frame(0x123, {1})), NTCAN_SUCCESS);
  ASSERT_EQ(send(other, make_frame(0x123, {2})), NTCAN_SUCCESS);
  ASSERT_EQ(canClose(closing), NTCAN_SUCCESS);
  ntcan_sim::set_bus_timing(false);
  const auto got = take_all(one_slot);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].data[0], 2);
  ASSERT_EQ(send(other, make_frame(0x123, {3})), NTCAN_SUCCESS);
  EXPECT_EQ(take_all(one_slot).at(0).data[0], 3);
}

}  // namespace
