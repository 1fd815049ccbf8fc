// The driver calls as a program sees them: delivery, queues, waiting reads,
// and the answers to bad calls.
#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <thread>

#include "sim_test_support.h"

extern "C" int ntcan_c_round_trip(int net);

namespace {

using namespace ntcan_test;
using ntcan_sim::make_frame;
using ntcan_sim::make_rtr;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

using DriverTest = SimTest;

TEST_F(DriverTest, HandlesOnOneNetExchangeFramesOnlyThroughTheirFilters) {
  const NTCAN_HANDLE a = open(0, {0x181});
  const NTCAN_HANDLE b = open(0, {0x201, 0x202});
  const NTCAN_HANDLE other_net = open(1, {0x181, 0x201, 0x202, 0x301});
  EXPECT_GT(a, 0);
  EXPECT_NE(a, b);

  CMSG batch[] = {make_frame(0x202, {1}), make_frame(0x301, {2}), make_frame(0x201, {3, 4})};
  int32_t n = 3;
  ASSERT_EQ(canSend(a, batch, &n), NTCAN_SUCCESS);
  EXPECT_EQ(n, 3);
  ASSERT_EQ(send(b, make_rtr(0x181, 2)), NTCAN_SUCCESS);
  ASSERT_EQ(send(b, make_frame(0x201, {9})), NTCAN_SUCCESS);  // not back to itself

  const auto at_b = take_all(b);
  EXPECT_EQ(ids_of(at_b), (std::vector<int32_t>{0x202, 0x201}));  // in sending order
  EXPECT_EQ(at_b[1].len, 2);
  EXPECT_EQ(at_b[1].data[1], 4);

  const auto at_a = take_all(a);
  ASSERT_EQ(at_a.size(), 1u);
  EXPECT_EQ(at_a[0].len, NTCAN_RTR | 2);  // remote request travels as it was sent

  EXPECT_TRUE(take_all(other_net).empty());

  // After canIdDelete the identifier no longer arrives; queued frames stay.
  ASSERT_EQ(send(a, make_frame(0x201, {})), NTCAN_SUCCESS);
  ASSERT_EQ(canIdDelete(b, 0x201), NTCAN_SUCCESS);
  ASSERT_EQ(send(a, make_frame(0x201, {})), NTCAN_SUCCESS);
  EXPECT_EQ(take_all(b).size(), 1u);
  EXPECT_EQ(ntcan_sim::enabled_ids(b), (std::vector<int32_t>{0x202}));
}

TEST_F(DriverTest, AFullQueueDropsTheNewestFramesAndReportsTheLossOnTheNextFrameTaken) {
  const NTCAN_HANDLE tx = open(3);
  const NTCAN_HANDLE rx = open(3, {0x10}, /*rx_queue=*/3);
  for (uint8_t i = 0; i < 5; ++i) ASSERT_EQ(send(tx, make_frame(0x10, {i})), NTCAN_SUCCESS);
  EXPECT_EQ(ntcan_sim::queued(rx), 3u);

  CMSG got[8];
  int32_t n = 8;
  ASSERT_EQ(canTake(rx, got, &n), NTCAN_SUCCESS);
  ASSERT_EQ(n, 3);
  EXPECT_EQ(got[0].data[0], 0);  // the oldest frames were kept
  EXPECT_EQ(got[2].data[0], 2);
  EXPECT_EQ(got[0].msg_lost, 2);
  EXPECT_EQ(got[1].msg_lost, 0);

  ASSERT_EQ(send(tx, make_frame(0x10, {7})), NTCAN_SUCCESS);
  n = 1;
  ASSERT_EQ(canTake(rx, got, &n), NTCAN_SUCCESS);
  EXPECT_EQ(got[0].msg_lost, 0) << "a loss is reported once";

  // The count saturates at 255; the driver keeps the exact total.
  for (int i = 0; i < 303; ++i) ASSERT_EQ(send(tx, make_frame(0x10, {})), NTCAN_SUCCESS);
  n = 1;
  ASSERT_EQ(canTake(rx, got, &n), NTCAN_SUCCESS);
  EXPECT_EQ(got[0].msg_lost, 255);
  EXPECT_EQ(ntcan_sim::handle_info(rx)->dropped, 2u + 300u);
}

TEST_F(DriverTest, ReadWaitsForTheScaledTimeOutOrUntilAFrameArrives) {
  ntcan_sim::set_time_scale(0.02);  // 1000 ms -> 20 ms
  const NTCAN_HANDLE tx = open(5);
  const NTCAN_HANDLE rx = open(5, {0x77});
  CMSG got[4];
  int32_t n = 4;

  const auto start = steady_clock::now();
  EXPECT_EQ(canRead(rx, got, &n, nullptr), NTCAN_RX_TIMEOUT);
  const auto waited = steady_clock::now() - start;
  EXPECT_EQ(n, 0);
  EXPECT_GE(waited, milliseconds(19));
  EXPECT_LT(waited, milliseconds(500));

  // With a frame waiting, canRead returns it without waiting.
  ASSERT_EQ(send(tx, make_frame(0x77, {1})), NTCAN_SUCCESS);
  n = 4;
  EXPECT_EQ(canRead(rx, got, &n, nullptr), NTCAN_SUCCESS);
  EXPECT_EQ(n, 1);

  // A reader blocked for up to 10 s is woken by a frame from another thread.
  ntcan_sim::set_time_scale(10.0);
  auto reader = std::async(std::launch::async, [rx] {
    CMSG m[2];
    int32_t count = 2;
    const NTCAN_RESULT r = canRead(rx, m, &count, nullptr);
    return std::make_pair(r, count);
  });
  std::this_thread::sleep_for(milliseconds(20));
  ASSERT_EQ(send(tx, make_frame(0x77, {2})), NTCAN_SUCCESS);
  ASSERT_EQ(reader.wait_for(std::chrono::seconds(2)), std::future_status::ready);
  EXPECT_EQ(reader.get(), std::make_pair(NTCAN_RESULT{NTCAN_SUCCESS}, int32_t{1}));

  // ... and by a close of its handle, which it reports as an invalid handle.
  auto orphan = std::async(std::launch::async, [rx] {
    CMSG m[1];
    int32_t count = 1;
    return canRead(rx, m, &count, nullptr);
  });
  std::this_thread::sleep_for(milliseconds(20));
  ASSERT_EQ(canClose(rx), NTCAN_SUCCESS);
  ASSERT_EQ(orphan.wait_for(std::chrono::seconds(2)), std::future_status::ready);
  EXPECT_EQ(orphan.get(), NTCAN_INVALID_HANDLE);
}

TEST_F(DriverTest, BadCallsAreRejectedWithTheirStatusAndChangeNothing) {
  const NTCAN_HANDLE h = open(2, {0x100});
  const NTCAN_HANDLE peer = open(2, {0x100});
  const NTCAN_HANDLE closed = open(2);
  ASSERT_EQ(canClose(closed), NTCAN_SUCCESS);

  CMSG good = make_frame(0x100, {1});
  CMSG frames[4] = {good, good, good, good};
  CMSG long_frame = good;
  long_frame.len = 9;
  CMSG wide_id = make_frame(0x800, {});
  CMSG pair[2] = {good, long_frame};
  CAN_IF_STATUS st{};
  NTCAN_HANDLE out = 42;
  int32_t one = 1, zero = 0, two = 2, minus = -1;
  int dummy = 0;

  struct Case {
    const char* what;
    std::function<NTCAN_RESULT()> call;
    NTCAN_RESULT expected;
  };
  const Case cases[] = {
      {"net below range", [&] { return canOpen(-1, 0, 10, 100, 0, 0, &out); }, NTCAN_NET_NOT_FOUND},
      {"net above range", [&] { return canOpen(20, 0, 10, 100, 0, 0, &out); }, NTCAN_NET_NOT_FOUND},
      {"open without handle pointer", [&] { return canOpen(0, 0, 10, 100, 0, 0, nullptr); }, NTCAN_INVALID_PARAMETER},
      {"empty receive queue", [&] { return canOpen(0, 0, 10, 0, 0, 0, &out); }, NTCAN_INVALID_PARAMETER},
      {"negative time-out", [&] { return canOpen(0, 0, 10, 100, 0, -5, &out); }, NTCAN_INVALID_PARAMETER},
      {"close closed handle", [&] { return canClose(closed); }, NTCAN_INVALID_HANDLE},
      {"close handle 0", [&] { return canClose(0); }, NTCAN_INVALID_HANDLE},
      {"baud on closed handle", [&] { return canSetBaudrate(closed, 6); }, NTCAN_INVALID_HANDLE},
      {"status of no handle", [&] { return canStatus(NTCAN_NO_HANDLE, &st); }, NTCAN_INVALID_HANDLE},
      {"status without record", [&] { return canStatus(h, nullptr); }, NTCAN_INVALID_PARAMETER},
      {"id above 11 bits", [&] { return canIdAdd(h, 0x800); }, NTCAN_INVALID_PARAMETER},
      {"negative id", [&] { return canIdDelete(h, -1); }, NTCAN_INVALID_PARAMETER},
      {"id enabled twice", [&] { return canIdAdd(h, 0x100); }, NTCAN_ID_ALREADY_ENABLED},
      {"id never enabled", [&] { return canIdDelete(h, 0x101); }, NTCAN_ID_NOT_ENABLED},
      {"id on closed handle", [&] { return canIdAdd(closed, 0x100); }, NTCAN_INVALID_HANDLE},
      {"send on unknown handle", [&] { return canSend(999999, &good, &one); }, NTCAN_INVALID_HANDLE},
      {"send without frames", [&] { return canSend(h, nullptr, &one); }, NTCAN_INVALID_PARAMETER},
      {"send without count", [&] { return canSend(h, &good, nullptr); }, NTCAN_INVALID_PARAMETER},
      {"send zero frames", [&] { return canSend(h, &good, &zero); }, NTCAN_INVALID_PARAMETER},
      {"send nine data bytes", [&] { return canSend(h, &long_frame, &one); }, NTCAN_INVALID_PARAMETER},
      {"send 12-bit id", [&] { return canSend(h, &wide_id, &one); }, NTCAN_INVALID_PARAMETER},
      {"one bad frame of two", [&] { return canSend(h, pair, &two); }, NTCAN_INVALID_PARAMETER},
      {"take negative count", [&] { return canTake(h, frames, &minus); }, NTCAN_INVALID_PARAMETER},
      {"take into nothing", [&] { return canTake(h, nullptr, &one); }, NTCAN_INVALID_PARAMETER},
      {"take on closed handle", [&] { return canTake(closed, frames, &one); }, NTCAN_INVALID_HANDLE},
      {"read without count", [&] { return canRead(h, frames, nullptr, nullptr); }, NTCAN_INVALID_PARAMETER},
      {"overlapped read", [&] { return canRead(h, frames, &one, &dummy); }, NTCAN_INVALID_PARAMETER},
      {"read on closed handle", [&] { return canRead(closed, frames, &one, nullptr); }, NTCAN_INVALID_HANDLE},
  };
  for (const Case& c : cases) {
    one = 1;
    EXPECT_EQ(c.call(), c.expected) << c.what;
  }
  EXPECT_EQ(out, NTCAN_NO_HANDLE) << "a failed open leaves no handle";
  EXPECT_EQ(two, 0) << "a rejected send reports 0 frames sent";
  EXPECT_EQ(ntcan_sim::handles(2), (std::vector<NTCAN_HANDLE>{h, peer}));
  EXPECT_EQ(ntcan_sim::queued(peer), 0u) << "no part of a rejected batch was sent";
  EXPECT_TRUE(ntcan_sim::trace().empty());
  EXPECT_EQ(ntcan_sim::enabled_ids(h), (std::vector<int32_t>{0x100}));
  // Calls on handles the driver does not know count without a net.
  EXPECT_EQ(ntcan_sim::calls(ntcan_sim::Call::Send, 2), 6u);
  EXPECT_EQ(ntcan_sim::calls(ntcan_sim::Call::Send), 7u);
}

TEST_F(DriverTest, ResetClosesEveryHandleButNeverReusesTheirNumbers) {
  const NTCAN_HANDLE before = open(0, {0x1});
  ntcan_sim::reset();
  EXPECT_TRUE(ntcan_sim::handles(0).empty());
  EXPECT_EQ(canIdAdd(before, 0x2), NTCAN_INVALID_HANDLE);
  const NTCAN_HANDLE after = open(0);
  EXPECT_GT(after, before);
}

TEST_F(DriverTest, TheHeaderWorksFromC) {
  EXPECT_EQ(ntcan_c_round_trip(7), 0x5A);
  EXPECT_TRUE(ntcan_sim::handles(7).empty());
}

}  // namespace
