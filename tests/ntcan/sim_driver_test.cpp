// The driver calls as a program sees them: delivery, queues, waiting reads,
// and the answers to bad calls.
#include <chrono>
#include <functional>
#include <future>
#include <iterator>
#include <thread>

#include "sim_test_support.h"

extern "C" int ntcan_c_round_trip(int net);

namespace {

using namespace ntcan_test;
using ntcan_sim::make_frame;
using std::chrono::milliseconds;

using DriverTest = SimTest;

TEST_F(DriverTest, HandlesOnOneNetExchangeFramesOnlyThroughTheirFilters) {
  const NTCAN_HANDLE a = open(0, {0x181});
  const NTCAN_HANDLE b = open(0, {0x201, 0x202});
  const NTCAN_HANDLE other_net = open(1, {0x181, 0x201, 0x202, 0x301});

  CMSG batch[] = {make_frame(0x202, {1}), make_frame(0x301, {2}), make_frame(0x201, {3, 4})};
  int32_t n = 3;
  ASSERT_EQ(canSend(a, batch, &n), NTCAN_SUCCESS);
  EXPECT_EQ(n, 3);
  ASSERT_EQ(send(b, ntcan_sim::make_rtr(0x181, 2)), NTCAN_SUCCESS);
  ASSERT_EQ(send(b, make_frame(0x201, {9})), NTCAN_SUCCESS);  // not back to itself

  const auto at_b = take_all(b);
  ASSERT_EQ(at_b.size(), 2u);
  EXPECT_EQ(at_b[0].id, 0x202);  // in sending order
  EXPECT_EQ(at_b[1].id, 0x201);
  EXPECT_EQ(at_b[1].data[1], 4);
  const auto at_a = take_all(a);
  ASSERT_EQ(at_a.size(), 1u);
  EXPECT_EQ(at_a[0].len, NTCAN_RTR | 2);  // a remote request travels as sent
  EXPECT_TRUE(take_all(other_net).empty());

  // After canIdDelete the identifier no longer arrives.
  ASSERT_EQ(canIdDelete(b, 0x201), NTCAN_SUCCESS);
  ASSERT_EQ(send(a, make_frame(0x201, {})), NTCAN_SUCCESS);
  EXPECT_TRUE(take_all(b).empty());
  EXPECT_EQ(ntcan_sim::enabled_ids(b), std::vector<int32_t>{0x202});
}

TEST_F(DriverTest, AFullQueueDropsTheNewestFramesAndReportsTheLossOnTheNextFrameTaken) {
  const NTCAN_HANDLE tx = open(3);
  const NTCAN_HANDLE rx = open(3, {0x10}, /*rx_queue=*/3);
  for (uint8_t i = 0; i < 5; ++i) ASSERT_EQ(send(tx, make_frame(0x10, {i})), NTCAN_SUCCESS);
  EXPECT_EQ(ntcan_sim::queued(rx), 3u);

  auto got = take_all(rx);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0].data[0], 0);  // the oldest frames were kept
  EXPECT_EQ(got[2].data[0], 2);
  EXPECT_EQ(got[0].msg_lost, 2);
  EXPECT_EQ(got[1].msg_lost, 0);

  ASSERT_EQ(send(tx, make_frame(0x10, {7})), NTCAN_SUCCESS);
  EXPECT_EQ(take_all(rx).at(0).msg_lost, 0) << "a loss is reported once";

  // The count saturates at 255; the driver keeps the exact total.
  for (int i = 0; i < 303; ++i) ASSERT_EQ(send(tx, make_frame(0x10, {})), NTCAN_SUCCESS);
  EXPECT_EQ(take_all(rx).at(0).msg_lost, 255);
  EXPECT_EQ(ntcan_sim::handle_info(rx)->dropped, 2u + 300u);
}

TEST_F(DriverTest, ReadWaitsForTheScaledTimeOutOrUntilAFrameArrivesOrTheHandleCloses) {
  ntcan_sim::set_time_scale(0.02);  // 1000 ms -> 20 ms
  const NTCAN_HANDLE tx = open(5);
  const NTCAN_HANDLE rx = open(5, {0x77});
  auto read = [rx] {
    CMSG m[4];
    int32_t n = 4;
    const NTCAN_RESULT r = canRead(rx, m, &n, nullptr);
    return std::make_pair(r, n);
  };
  using Result = std::pair<NTCAN_RESULT, int32_t>;

  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(read(), Result(NTCAN_RX_TIMEOUT, 0));
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, milliseconds(19));
  EXPECT_LT(waited, milliseconds(500));

  // A reader that would wait 10 s is woken by a frame from another thread...
  ntcan_sim::set_time_scale(10.0);
  auto woken = std::async(std::launch::async, read);
  std::this_thread::sleep_for(milliseconds(20));
  ASSERT_EQ(send(tx, make_frame(0x77, {2})), NTCAN_SUCCESS);
  ASSERT_EQ(woken.wait_for(std::chrono::seconds(2)), std::future_status::ready);
  EXPECT_EQ(woken.get(), Result(NTCAN_SUCCESS, 1));

  // ... and by a close of its handle, which it reports as an invalid handle.
  auto orphan = std::async(std::launch::async, read);
  std::this_thread::sleep_for(milliseconds(20));
  ASSERT_EQ(canClose(rx), NTCAN_SUCCESS);
  ASSERT_EQ(orphan.wait_for(std::chrono::seconds(2)), std::future_status::ready);
  EXPECT_EQ(orphan.get(), Result(NTCAN_INVALID_HANDLE, 0));
}

TEST_F(DriverTest, BadCallsAreRejectedWithTheirStatusAndChangeNothing) {
  const NTCAN_HANDLE h = open(2, {0x100});
  const NTCAN_HANDLE peer = open(2, {0x100});
  const NTCAN_HANDLE closed = open(2);
  ASSERT_EQ(canClose(closed), NTCAN_SUCCESS);

  CMSG frames[2] = {make_frame(0x100, {1}), make_frame(0x100, {1})};
  frames[1].len = 9;
  CMSG wide_id = make_frame(0x800, {});
  CAN_IF_STATUS st{};
  NTCAN_HANDLE out = 42;
  int32_t one = 1, two = 2, zero = 0;
  int overlapped = 0;

  const std::pair<NTCAN_RESULT, std::function<NTCAN_RESULT()>> cases[] = {
      {NTCAN_NET_NOT_FOUND, [&] { return canOpen(20, 0, 10, 100, 0, 0, &out); }},
      {NTCAN_INVALID_PARAMETER, [&] { return canOpen(0, 0, 10, 100, 0, 0, nullptr); }},
      {NTCAN_INVALID_PARAMETER, [&] { return canOpen(0, 0, 10, 0, 0, 0, &out); }},
      {NTCAN_INVALID_HANDLE, [&] { return canClose(closed); }},
      {NTCAN_INVALID_HANDLE, [&] { return canStatus(NTCAN_NO_HANDLE, &st); }},
      {NTCAN_INVALID_PARAMETER, [&] { return canStatus(h, nullptr); }},
      {NTCAN_INVALID_PARAMETER, [&] { return canIdAdd(h, 0x800); }},
      {NTCAN_ID_ALREADY_ENABLED, [&] { return canIdAdd(h, 0x100); }},
      {NTCAN_ID_NOT_ENABLED, [&] { return canIdDelete(h, 0x101); }},
      {NTCAN_INVALID_HANDLE, [&] { return canSend(999999, frames, &one); }},
      {NTCAN_INVALID_PARAMETER, [&] { return canSend(h, frames, nullptr); }},
      {NTCAN_INVALID_PARAMETER, [&] { return canSend(h, frames, &zero); }},
      {NTCAN_INVALID_PARAMETER, [&] { return canSend(h, &wide_id, &one); }},
      {NTCAN_INVALID_PARAMETER, [&] { return canSend(h, frames, &two); }},  // 2nd has 9 bytes
      {NTCAN_INVALID_PARAMETER, [&] { return canTake(h, nullptr, &one); }},
      {NTCAN_INVALID_PARAMETER, [&] { return canRead(h, frames, &one, &overlapped); }},
      {NTCAN_INVALID_HANDLE, [&] { return canRead(closed, frames, &one, nullptr); }},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    one = 1;
    EXPECT_EQ(cases[i].second(), cases[i].first) << "case " << i;
  }
  EXPECT_EQ(out, NTCAN_NO_HANDLE) << "a failed open leaves no handle";
  EXPECT_EQ(two, 0) << "a rejected send reports 0 frames sent";
  EXPECT_EQ(ntcan_sim::handles(2), (std::vector<NTCAN_HANDLE>{h, peer}));
  EXPECT_EQ(ntcan_sim::queued(peer), 0u) << "no part of a rejected batch was sent";
  EXPECT_EQ(ntcan_sim::enabled_ids(h), std::vector<int32_t>{0x100});
  // Calls on handles the driver does not know count without a net.
  EXPECT_EQ(ntcan_sim::calls(ntcan_sim::Call::Send, 2), 4u);
  EXPECT_EQ(ntcan_sim::calls(ntcan_sim::Call::Send), 5u);

  // Handle numbers are never reused, not even after a reset.
  ntcan_sim::reset();
  EXPECT_EQ(canIdAdd(h, 0x1), NTCAN_INVALID_HANDLE);
  EXPECT_GT(open(2), closed);
}

TEST_F(DriverTest, TheHeaderWorksFromC) {
  EXPECT_EQ(ntcan_c_round_trip(7), 0x5A);
  EXPECT_TRUE(ntcan_sim::handles(7).empty());
}

}  // namespace
