// Downloads and binary uploads of the SDO client, its aborts, its waits and
// the turns of transfers, against the simulated CANopen device, read as
// frame tables.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <thread>

#include "bus_clock.h"
#include "device_fixture.h"
#include "frame_table.h"

namespace {

using Frames = std::vector<std::string>;
using ntcan_sim::Call;

class SdoClientTest : public DeviceTest {
 protected:
  // The device stays silent; `answers` (by the command byte of a request)
  // answer in its place.
  std::unique_ptr<testsupport::SdoStandIn> answer_with(std::map<uint8_t, std::vector<CMSG>> answers) {
    device_->set_silence(canopen_sim::Silence::Sdo);
    return std::make_unique<testsupport::SdoStandIn>(std::move(answers));
  }
  std::vector<unsigned char> bytes_ = [] {
    std::vector<unsigned char> v(63);
    for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<unsigned char>(i);
    return v;
  }();
  unsigned char buf_[64] = {};
  int len_ = -1;
};

}  // namespace

TEST_F(SdoClientTest, ExpeditedAndSegmentedTransfersGoByteForByteInTheFewestFrames) {
  device_->set_object(0x2000, 1, "");
  device_->set_object(0x2000, 2, "");
  ASSERT_EQ(node_->sdo_download(0x2000, 1, bytes_.data() + 1, 4), 0);
  ASSERT_EQ(node_->sdo_upload(0x2000, 1, buf_, 4, &len_), 0);
  EXPECT_EQ(len_, 4);
  EXPECT_EQ(frames(), (Frames{"-> 605: 23 00 20 01 01 02 03 04", "<- 585: 60 00 20 01 00 00 00 00",
                              "-> 605: 40 00 20 01 00 00 00 00", "<- 585: 43 00 20 01 01 02 03 04"}));

  ASSERT_EQ(node_->sdo_download(0x2000, 2, bytes_.data(), 63), 0);
  EXPECT_EQ(frames(), (Frames{"-> 605: 21 00 20 02 3F 00 00 00", "<- 585: 60 00 20 02 00 00 00 00",
                              "-> 605: 00 00 01 02 03 04 05 06", "<- 585: 20 00 00 00 00 00 00 00",
                              "-> 605: 10 07 08 09 0A 0B 0C 0D", "<- 585: 30 00 00 00 00 00 00 00",
                              "-> 605: 00 0E 0F 10 11 12 13 14", "<- 585: 20 00 00 00 00 00 00 00",
                              "-> 605: 10 15 16 17 18 19 1A 1B", "<- 585: 30 00 00 00 00 00 00 00",
                              "-> 605: 00 1C 1D 1E 1F 20 21 22", "<- 585: 20 00 00 00 00 00 00 00",
                              "-> 605: 10 23 24 25 26 27 28 29", "<- 585: 30 00 00 00 00 00 00 00",
                              "-> 605: 00 2A 2B 2C 2D 2E 2F 30", "<- 585: 20 00 00 00 00 00 00 00",
                              "-> 605: 10 31 32 33 34 35 36 37", "<- 585: 30 00 00 00 00 00 00 00",
                              "-> 605: 01 38 39 3A 3B 3C 3D 3E", "<- 585: 20 00 00 00 00 00 00 00"}));
  ASSERT_EQ(node_->sdo_upload(0x2000, 2, buf_, 63, &len_), 0) << "a value exactly the buffer's size fits";
  EXPECT_EQ(std::vector<unsigned char>(buf_, buf_ + len_), bytes_);
  // The device answers a segment request only with the toggle it expects.
  const Frames up = frames();
  ASSERT_EQ(up.size(), 20u);
  EXPECT_EQ(Frames(up.begin(), up.begin() + 2),
            (Frames{"-> 605: 40 00 20 02 00 00 00 00", "<- 585: 41 00 20 02 3F 00 00 00"}));
  EXPECT_EQ(up.back(), "<- 585: 01 38 39 3A 3B 3C 3D 3E");
  EXPECT_EQ(node_->sdo_abort_code(), 0u);
}

TEST_F(SdoClientTest, EachAbortOfTheNodeReachesSdoAbortCode) {
  device_->set_object(0x2000, 0, "");
  const struct {
    const char* what;
    std::function<int()> transfer;
    uint32_t code;
  } rows[] = {
      {"read-only", [&] { return node_->sdo_download(0x1008, 0, bytes_.data(), 2); }, 0x06010002},
      {"length", [&] { return node_->sdo_download(0x1017, 0, bytes_.data(), 3); }, 0x06070010},
      {"no object", [&] { return node_->sdo_upload(0x3000, 0, buf_, 64, &len_); }, 0x06020000},
      {"no subindex", [&] { return node_->sdo_upload(0x1018, 5, buf_, 64, &len_); }, 0x06090011},
      {"period above 65535 ms",
       [&] {
         device_->set_object(0x1017, 0, std::string(4, '\0'));
         const unsigned char ms70000[] = {0x70, 0x11, 0x01, 0x00};
         return node_->sdo_download(0x1017, 0, ms70000, 4);
       },
       0x06090031},
      {"mid-transfer",
       [&] {
         device_->set_abort_after(1, 0x08000020);
         return node_->sdo_download(0x2000, 0, bytes_.data(), 20);
       },
       0x08000020},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(row.transfer(), -1) << row.what;
    EXPECT_EQ(node_->sdo_abort_code(), row.code) << row.what;
    EXPECT_EQ(frames().back().substr(0, 10), "<- 585: 80") << row.what << ": the node's abort ends it";
  }
  device_->clear_misbehaviour();
  ASSERT_EQ(node_->sdo_upload(0x1018, 1, buf_, 64, &len_), 0);
  EXPECT_EQ(node_->sdo_abort_code(), 0u) << "a transfer without abort";
}

TEST_F(SdoClientTest, WhatTheClientGivesUpItAbortsSoThatTheNodeLeavesTheTransfer) {
  device_->set_object(0x2001, 0, std::string(20, 's'));
  device_->set_wrong_toggle_after(1);
  EXPECT_EQ(node_->sdo_upload(0x2001, 0, buf_, 64, &len_), -1);
  EXPECT_EQ(node_->sdo_abort_code(), 0x05030000u);
  EXPECT_EQ(frames().back(), "-> 605: 80 01 20 00 00 00 03 05");
  EXPECT_FALSE(device_->transfer_in_progress());

  // The node falls silent after its first segment.
  device_->clear_misbehaviour();
  const int spy = ntcan_sim::attach(0, "spy", [this](const ntcan_sim::BusFrame& f) {
    if (f.msg.id == 0x605 && f.msg.data[0] == 0x60) device_->set_silence(canopen_sim::Silence::Sdo);
  });
  EXPECT_EQ(node_->sdo_upload(0x2001, 0, buf_, 64, &len_), -1);
  ntcan_sim::detach(spy);
  EXPECT_EQ(node_->sdo_abort_code(), 0x05040000u);
  EXPECT_EQ(frames().back(), "-> 605: 80 01 20 00 00 00 04 05");

  // An answer naming the entry that is no answer to the request.
  device_->set_silence(canopen_sim::Silence::None);
  ntcan_sim::inject(0, ntcan_sim::make_frame(0x585, {0x60, 0x01, 0x20, 0, 0, 0, 0, 0}), "node 5");
  EXPECT_EQ(node_->sdo_upload(0x2001, 0, buf_, 64, &len_), -1);
  EXPECT_EQ(node_->sdo_abort_code(), 0x05040001u);
  EXPECT_EQ(frames(), (Frames{"<- 585: 60 01 20 00 00 00 00 00", "-> 605: 40 01 20 00 00 00 00 00",
                              "<- 585: 41 01 20 00 14 00 00 00", "-> 605: 80 01 20 00 01 00 04 05"}));
  EXPECT_FALSE(device_->transfer_in_progress());
}

TEST_F(SdoClientTest, AValueTooLongForTheBufferOrOtherThanItsIndicatedSizeFailsAndNothingIsWrittenPastIt) {
  unsigned char mem[16];
  std::memset(mem, '#', sizeof mem);
  device_->set_object(0x2000, 0, "WXYZ");
  EXPECT_EQ(node_->sdo_upload(0x2000, 0, mem + 4, 3, &len_), -1);
  EXPECT_EQ(len_, 3);
  EXPECT_EQ(node_->sdo_abort_code(), 0u) << "the node is done: nothing to abort";
  EXPECT_EQ(std::string(mem, mem + 16), "####WXY#########");

  device_->set_object(0x2001, 0, std::string(20, 's'));
  EXPECT_EQ(node_->sdo_upload(0x2001, 0, mem + 4, 8, &len_), -1);
  EXPECT_EQ(frames().back(), "-> 605: 80 01 20 00 05 00 04 05") << "20 bytes indicated: given up at once";
  EXPECT_EQ(std::string(mem, mem + 16), "####WXY#########");

  // More than indicated: given up; fewer: failed at the last segment.
  device_->set_object(0x2002, 0, "12345");
  device_->set_never_last_segment(true);
  EXPECT_EQ(node_->sdo_upload(0x2002, 0, buf_, 64, &len_), -1);
  EXPECT_EQ(node_->sdo_abort_code(), 0x06070010u);
  EXPECT_EQ(frames().size(), 7u) << "initiate, a segment of 5 bytes, one of 7, each answered; the abort";
  const auto liar = answer_with({{0x40, {ntcan_sim::make_frame(0x585, {0x41, 0x02, 0x20, 0x00, 10, 0, 0, 0})}},
                                 {0x60, {ntcan_sim::make_frame(0x585, {0x03, '1', '2', '3', '4', '5', '6', 0})}}});
  EXPECT_EQ(node_->sdo_upload(0x2002, 0, buf_, 64, &len_), -1);
  EXPECT_EQ(len_, 6);
  EXPECT_EQ(node_->sdo_abort_code(), 0u);
}

// The node answers 40 ms after the request; then it falls silent and a
// time-out of 150 ms gives up after 150 ms of framework time. No wait
// shorter than the handle's receive time-out blocks in the driver's read.
TEST_F(SdoClientTest, AnAnswerIsTakenAsItComesAndA150msTimeOutFiresAt150ms) {
  node_->sdo_timeout_ms(150);
  const auto liar = answer_with({});
  settle(1);  // the line's supervision in its first pause
  std::thread late([] {
    TELVOsleep(0, 40000);
    ntcan_sim::inject(0, ntcan_sim::make_frame(0x585, {0x60, 0x17, 0x10, 0, 0, 0, 0, 0}), "late");
  });
  settle(2);
  const uint64_t reads = ntcan_sim::calls(Call::Read, 0);
  int64_t start = clock_->now_us();
  EXPECT_EQ(node_->sdo_download(0x1017, 0, bytes_.data(), 2), 0);
  EXPECT_GE(clock_->now_us() - start, 40000);
  EXPECT_LE(clock_->now_us() - start, 45000) << "within an eighth of the time waited";
  late.join();

  const uint64_t takes = ntcan_sim::calls(Call::Take, 0);
  start = clock_->now_us();
  EXPECT_EQ(node_->sdo_download(0x1017, 0, bytes_.data(), 2), -1);
  EXPECT_GE(clock_->now_us() - start, 150000);
  EXPECT_LE(clock_->now_us() - start, 160000);
  EXPECT_EQ(node_->sdo_abort_code(), 0x05040000u);
  EXPECT_EQ(frames().back(), "-> 605: 80 17 10 00 00 00 04 05");
  EXPECT_EQ(ntcan_sim::calls(Call::Read, 0), reads);
  EXPECT_LT(ntcan_sim::calls(Call::Take, 0) - takes, 200u) << "a take after each pause, no spinning";
}

// On a net that keeps CAN's time (125 kbit/s, one bit 8 us), each request
// goes out the moment the answer before it has arrived: a transfer takes
// exactly the time of its frames' bits, the floor a real bus sets.
TEST_F(SdoClientTest, OnATimedBusATransferTakesExactlyTheTimeOfItsFramesBits) {
  testsupport::ManualBusClock bus(*clock_);
  bus.drive_from_this_thread();
  device_->set_object(0x2000, 0, "");
  const auto bits_us = [] {
    int64_t us = 0;
    for (const auto& e : ntcan_sim::trace(0)) us += ntcan_sim::frame_bits(e.frame.msg) * 8;
    return us;
  };
  const std::vector<std::function<int()>> transfers = {
      [&] { return node_->sdo_upload(0x1009, 0, buf_, sizeof buf_, &len_); },  // expedited
      [&] { return node_->sdo_download(0x2000, 0, bytes_.data(), 63); },      // 20 frames
      [&] { return node_->sdo_upload(0x2000, 0, buf_, sizeof buf_, &len_); }};
  for (const auto& transfer : transfers) {
    ntcan_sim::clear_trace();
    const int64_t start = clock_->now_us();
    ASSERT_EQ(transfer(), 0);
    EXPECT_EQ(clock_->now_us() - start, bits_us());
  }
  EXPECT_EQ(ntcan_sim::trace(0).size(), 20u);
}

TEST_F(SdoClientTest, TransfersOfOneNodeOnTwoThreadsTakeTurnsAndNeverInterleave) {
  auto view = node_on(1, 5, "PUMP_VIEW");
  ASSERT_EQ(view->init(0x585), 0);  // a follower, on PUMP's handle
  device_->set_object(0x2000, 0, "");
  device_->set_object(0x2001, 0, std::string(20, 'u'));
  ntcan_sim::set_trace_enabled(false);
  int failures = 0;
  std::thread other([&] {
    clock_->drive_from_this_thread();
    for (int i = 0; i < 300; ++i) failures += view->sdo_download(0x2000, 0, bytes_.data(), 20) != 0;
  });
  int own_failures = 0;
  for (int i = 0; i < 300; ++i) own_failures += node_->sdo_upload(0x2001, 0, buf_, 64, &len_) != 0 || len_ != 20;
  other.join();
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(own_failures, 0);
}

// The node answers the first segment and falls silent; 40 ms into the wait
// for the second, the line closes (with every handle on it).
TEST_F(SdoClientTest, ALineThatClosesDuringATransferEndsItWith77AndTheStaleHandleIsNeverUsed) {
  device_->set_object(0x2000, 0, "");
  node_->sdo_timeout_ms(150);
  const int spy = ntcan_sim::attach(0, "spy", [this](const ntcan_sim::BusFrame& f) {
    if (f.msg.id == 0x605 && (f.msg.data[0] & 0xE0) == 0) device_->set_silence(canopen_sim::Silence::Sdo);
  });
  settle(1);  // the line's supervision in its first pause
  std::thread outage([this] {
    TELVOsleep(0, 40000);
    node_->line()->can_close();
  });
  settle(2);
  EXPECT_EQ(node_->sdo_download(0x2000, 0, bytes_.data(), 20), 77);
  clock_->advance(std::chrono::milliseconds(5));  // the close's own pause
  outage.join();
  ntcan_sim::detach(spy);
  EXPECT_EQ(frames(), (Frames{"-> 605: 21 00 20 00 14 00 00 00", "<- 585: 60 00 20 00 00 00 00 00",
                              "-> 605: 00 00 01 02 03 04 05 06", "<- 585: 20 00 00 00 00 00 00 00",
                              "-> 605: 10 07 08 09 0A 0B 0C 0D"}));
  EXPECT_EQ(node_->sdo_abort_code(), 0u) << "no abort: the handle is gone";
  EXPECT_TRUE(node_->handle_stale());
  EXPECT_EQ(ntcan_sim::calls_on_closed_handles(), 0u);
}

// A device class whose take never runs dry: the wait never pauses, and
// still ends by the framework clock (here moved by each look at it).
TEST_F(SdoClientTest, AReceiveOverrideThatNeverRunsDryCannotHoldATransferForever) {
  struct Chatty : testsupport::NodeProbe {
    using NodeProbe::NodeProbe;
    int can_get(CMSG* rxmsg, int* length) override {
      rxmsg[0] = ntcan_sim::make_frame(0x705, {0x05});
      *length = 1;
      return 0;
    }
  } chatty("CHATTY", &eq_);
  chatty.set_address(1, 5);
  ASSERT_EQ(chatty.init(0x585), 0);
  clock_->set_query_tick_us(100000);
  EXPECT_EQ(chatty.sdo_download(0x1017, 0, bytes_.data(), 2), -1);
  EXPECT_EQ(chatty.sdo_abort_code(), 0x05040000u);
}

TEST_F(SdoClientTest, BadArgumentsAreRefusedBeforeAnythingIsSent) {
  const struct {
    const char* what;
    std::function<int()> call;
  } rows[] = {
      {"no buffer", [&] { return node_->sdo_upload(0x2000, 0, nullptr, 4, &len_); }},
      {"no room", [&] { return node_->sdo_upload(0x2000, 0, buf_, 0, &len_); }},
      {"no length", [&] { return node_->sdo_upload(0x2000, 0, buf_, 4, nullptr); }},
      {"index", [&] { return node_->sdo_upload(0x10000, 0, buf_, 4, &len_); }},
      {"subindex", [&] { return node_->sdo_upload(0x2000, 256, buf_, 4, &len_); }},
      {"no data", [&] { return node_->sdo_download(0x2000, 0, nullptr, 4); }},
      {"nothing to send", [&] { return node_->sdo_download(0x2000, 0, buf_, 0); }},
      {"negative index", [&] { return node_->sdo_download(-1, 0, buf_, 4); }},
  };
  for (const auto& row : rows) EXPECT_EQ(row.call(), NTCAN_INVALID_PARAMETER) << row.what;
  EXPECT_EQ(len_, 0);
  EXPECT_TRUE(frames().empty());
}
