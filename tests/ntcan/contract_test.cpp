// What the library relies on of any NTCAN driver, run against each driver of
// the project (the simulated one, the one over socketcand): delivery through
// filters, bounded queues, waiting reads and bad calls.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <initializer_list>
#include <thread>
#include <utility>
#include <vector>

#include "contract_bus.h"
#include "driver_calls.h"
#include "ntcan.h"

namespace {

using std::chrono::milliseconds;

CMSG frame(int32_t id, std::initializer_list<uint8_t> data) {
  CMSG m{};
  m.id = id;
  m.len = static_cast<uint8_t>(data.size());
  std::copy(data.begin(), data.end(), m.data);
  return m;
}

// Frames read until `count` came or a read timed out.
std::vector<CMSG> read_frames(NTCAN_HANDLE h, std::size_t count) {
  std::vector<CMSG> out;
  while (out.size() < count) {
    CMSG buf[8];
    int32_t n = 8;
    if (canRead(h, buf, &n, nullptr) != NTCAN_SUCCESS) break;
    out.insert(out.end(), buf, buf + n);
  }
  return out;
}

struct DriverContract : testing::Test {
  DriverContract() { contract::start(); }
};

TEST_F(DriverContract, FramesReachTheOtherHandlesOfTheirNetOnlyThroughTheirFiltersAndInOrder) {
  const NTCAN_HANDLE a = open(0, {0x181});
  const NTCAN_HANDLE b = open(0, {0x201, 0x202, 0x585});
  const NTCAN_HANDLE other_net = open(1, {0x181, 0x201, 0x202, 0x301, 0x585});
  CMSG batch[] = {frame(0x202, {1}), frame(0x301, {2}), frame(0x201, {3, 4})};
  int32_t n = 3;
  ASSERT_EQ(canSend(a, batch, &n), NTCAN_SUCCESS);
  EXPECT_EQ(n, 3);
  ASSERT_EQ(send(b, frame(0x201, {9})), NTCAN_SUCCESS);  // not back to itself

  const auto at_b = take_all(b);
  ASSERT_EQ(at_b.size(), 2u);
  EXPECT_EQ(at_b[0].id, 0x202);
  EXPECT_EQ(at_b[1].id, 0x201);
  EXPECT_EQ(at_b[1].len, 2);
  EXPECT_EQ(at_b[1].data[1], 4);
  EXPECT_TRUE(take_all(a).empty());

  // A device's frames, in the order sent, to the handles whose filter holds them.
  contract::from_device(0, frame(0x585, {0x43, 0x08, 0x10, 0, 1, 2, 3, 4}));
  contract::from_device(0, frame(0x586, {}));
  contract::from_device(0, frame(0x181, {}));
  contract::from_device(0, frame(0x585, {0x60}));
  const auto from_device = read_frames(b, 2);
  ASSERT_EQ(from_device.size(), 2u);
  EXPECT_EQ(from_device[0].len, 8);
  EXPECT_EQ(from_device[0].data[7], 4);
  EXPECT_EQ(from_device[1].data[0], 0x60);
  EXPECT_EQ(read_frames(a, 1).size(), 1u);
  EXPECT_TRUE(take_all(other_net).empty());

  ASSERT_EQ(canIdDelete(b, 0x201), NTCAN_SUCCESS);
  ASSERT_EQ(send(a, frame(0x201, {})), NTCAN_SUCCESS);
  EXPECT_TRUE(take_all(b).empty());
}

TEST_F(DriverContract, AFullQueueDropsTheNewestFramesAndReportsTheLossOnceOnTheNextFrameTaken) {
  const NTCAN_HANDLE tx = open(3);
  const NTCAN_HANDLE rx = open(3, {0x10}, /*rx_queue=*/3);
  for (uint8_t i = 0; i < 5; ++i) ASSERT_EQ(send(tx, frame(0x10, {i})), NTCAN_SUCCESS);
  const auto got = take_all(rx);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[2].data[0], 2);
  EXPECT_EQ(got[0].msg_lost, 2);
  EXPECT_EQ(got[1].msg_lost, 0);
  ASSERT_EQ(send(tx, frame(0x10, {7})), NTCAN_SUCCESS);
  EXPECT_EQ(take_all(rx).at(0).msg_lost, 0) << "a loss is reported once";
  for (int i = 0; i < 303; ++i) ASSERT_EQ(send(tx, frame(0x10, {})), NTCAN_SUCCESS);
  EXPECT_EQ(take_all(rx).at(0).msg_lost, 255) << "the count saturates";
}

TEST_F(DriverContract, ReadWaitsForTheTimeOutOrUntilAFrameArrivesOrTheHandleCloses) {
  const NTCAN_HANDLE tx = open(2);
  const NTCAN_HANDLE rx = open(2, {0x77}, 100, /*rx_ms=*/20);
  using Result = std::pair<NTCAN_RESULT, int32_t>;
  auto read = [](NTCAN_HANDLE h) {
    CMSG m[4];
    int32_t n = 4;
    const NTCAN_RESULT r = canRead(h, m, &n, nullptr);
    return Result(r, n);
  };
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(read(rx), Result(NTCAN_RX_TIMEOUT, 0));
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, milliseconds(19));
  EXPECT_LT(waited, milliseconds(500));

  // A reader that would wait 10 s is woken by a frame, then by the close of
  // its handle, which it reports as an invalid handle.
  const NTCAN_HANDLE patient = open(2, {0x77}, 100, 10000);
  const std::pair<std::function<NTCAN_RESULT()>, Result> wakers[] = {
      {[&] { return send(tx, frame(0x77, {2})); }, {NTCAN_SUCCESS, 1}},
      {[&] { return canClose(patient); }, {NTCAN_INVALID_HANDLE, 0}}};
  for (const auto& [wake, expected] : wakers) {
    auto reader = std::async(std::launch::async, read, patient);
    std::this_thread::sleep_for(milliseconds(20));
    ASSERT_EQ(wake(), NTCAN_SUCCESS);
    ASSERT_EQ(reader.wait_for(std::chrono::seconds(2)), std::future_status::ready);
    EXPECT_EQ(reader.get(), expected);
  }
}

TEST_F(DriverContract, BadCallsAreRejectedWithTheirStatusAndChangeNothing) {
  const NTCAN_HANDLE h = open(1, {0x100});
  const NTCAN_HANDLE peer = open(1, {0x100});
  const NTCAN_HANDLE closed = open(1);
  ASSERT_EQ(canClose(closed), NTCAN_SUCCESS);
  CMSG frames[2] = {frame(0x100, {1}), frame(0x100, {1})};
  frames[1].len = 9;
  CMSG wide_id = frame(0x800, {});
  CAN_IF_STATUS st{};
  NTCAN_HANDLE out = 42;
  int32_t one = 1, two = 2, zero = 0;
  int overlapped = 0;
  const std::pair<NTCAN_RESULT, std::function<NTCAN_RESULT()>> cases[] = {
      {NTCAN_INVALID_PARAMETER, [&] { return canOpen(0, 0, 10, 100, 0, 0, nullptr); }},
      {NTCAN_INVALID_PARAMETER, [&] { return canOpen(0, 0, 10, 0, 0, 0, &out); }},
      {NTCAN_INVALID_HANDLE, [&] { return canClose(closed); }},
      {NTCAN_INVALID_HANDLE, [&] { return canStatus(NTCAN_NO_HANDLE, &st); }},
      {NTCAN_INVALID_PARAMETER, [&] { return canIdAdd(h, 0x800); }},
      {NTCAN_ID_ALREADY_ENABLED, [&] { return canIdAdd(h, 0x100); }},
      {NTCAN_ID_NOT_ENABLED, [&] { return canIdDelete(h, 0x101); }},
      {NTCAN_INVALID_HANDLE, [&] { return canSend(999999, frames, &one); }},
      {NTCAN_INVALID_PARAMETER, [&] { return canSend(h, frames, &zero); }},
      {NTCAN_INVALID_PARAMETER, [&] { return canSend(h, &wide_id, &one); }},
      {NTCAN_INVALID_PARAMETER, [&] { return canSend(h, frames, &two); }},  // 2nd has 9 bytes
      {NTCAN_INVALID_PARAMETER, [&] { return canRead(h, frames, &one, &overlapped); }},
      {NTCAN_INVALID_HANDLE, [&] { return canRead(closed, frames, &one, nullptr); }},
      {NTCAN_INVALID_HANDLE, [&] { return canTake(closed, frames, &one); }},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    one = 1;
    EXPECT_EQ(cases[i].second(), cases[i].first) << "case " << i;
  }
  EXPECT_EQ(out, NTCAN_NO_HANDLE) << "a failed open leaves no handle";
  EXPECT_EQ(two, 0) << "a rejected send reports 0 frames sent";
  EXPECT_TRUE(take_all(peer).empty()) << "no part of a rejected batch was sent";
  EXPECT_EQ(canStatus(h, &st), NTCAN_SUCCESS);
  EXPECT_GT(open(1), closed) << "handle numbers are not reused";
}

}  // namespace
