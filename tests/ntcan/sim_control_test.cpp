// Steering the simulation: faults, simulated devices on a net, the trace.
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "sim_test_support.h"

namespace {

using namespace ntcan_test;
using ntcan_sim::Call;
using ntcan_sim::make_frame;

using ControlTest = SimTest;

TEST_F(ControlTest, AnUnreachableGatewayFailsOpensUntilClearedAndOpensNothing) {
  ntcan_sim::fail_until_cleared(4, Call::Open, NTCAN_SOCK_CONN_TIMEOUT);
  for (int attempt = 0; attempt < 3; ++attempt) {
    NTCAN_HANDLE h = 17;
    EXPECT_EQ(canOpen(4, 0, 10, 100, 1000, 1000, &h), NTCAN_SOCK_CONN_TIMEOUT);
    EXPECT_EQ(h, NTCAN_NO_HANDLE);
  }
  EXPECT_TRUE(ntcan_sim::handles(4).empty());
  EXPECT_GT(open(5), 0) << "other nets are not affected";
  EXPECT_EQ(ntcan_sim::calls(Call::Open, 4), 3u);

  ntcan_sim::clear_fault(4, Call::Open);
  const NTCAN_HANDLE h = open(4);
  EXPECT_EQ(ntcan_sim::handles(4), std::vector<NTCAN_HANDLE>{h});
}

TEST_F(ControlTest, FailedCallsLeaveTheStateTheirFailureDescribes) {
  const NTCAN_HANDLE h = open(1, {0x10});
  const NTCAN_HANDLE peer = open(1, {0x20});

  // canSetBaudrate: the rate stays unset, then the earlier rate.
  ntcan_sim::fail_next(1, Call::SetBaudrate, NTCAN_CONTR_BUSY);
  EXPECT_EQ(canSetBaudrate(h, 6), NTCAN_CONTR_BUSY);
  EXPECT_EQ(ntcan_sim::baud_rate(h), std::nullopt);
  EXPECT_EQ(canSetBaudrate(h, 6), NTCAN_SUCCESS);
  ntcan_sim::fail_next(1, Call::SetBaudrate, NTCAN_CONTR_BUSY);
  EXPECT_EQ(canSetBaudrate(h, 2), NTCAN_CONTR_BUSY);
  EXPECT_EQ(ntcan_sim::baud_rate(h), 6u);

  // canIdAdd / canIdDelete: the filter is unchanged.
  ntcan_sim::fail_next(1, Call::IdAdd, NTCAN_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(canIdAdd(h, 0x11), NTCAN_INSUFFICIENT_RESOURCES);
  ntcan_sim::fail_next(1, Call::IdDelete, NTCAN_CONTR_BUSY);
  EXPECT_EQ(canIdDelete(h, 0x10), NTCAN_CONTR_BUSY);
  EXPECT_EQ(ntcan_sim::enabled_ids(h), std::vector<int32_t>{0x10});

  // canSend after one good call: that one is delivered, the failed one not.
  ntcan_sim::fail_after(1, Call::Send, 1, NTCAN_TX_ERROR, 2);
  EXPECT_EQ(send(peer, make_frame(0x10, {1})), NTCAN_SUCCESS);
  CMSG m = make_frame(0x10, {2});
  int32_t n = 1;
  EXPECT_EQ(canSend(peer, &m, &n), NTCAN_TX_ERROR);
  EXPECT_EQ(n, 0);
  EXPECT_EQ(send(peer, make_frame(0x10, {3})), NTCAN_TX_ERROR);
  EXPECT_EQ(send(peer, make_frame(0x10, {4})), NTCAN_SUCCESS);

  // canTake / canRead: nothing is taken, nothing waits.
  ntcan_sim::fail_next(1, Call::Take, NTCAN_CONTR_OFF_BUS);
  ntcan_sim::fail_next(1, Call::Read, NTCAN_CONTR_OFF_BUS);
  n = 1;
  EXPECT_EQ(canTake(h, &m, &n), NTCAN_CONTR_OFF_BUS);
  n = 1;
  EXPECT_EQ(canRead(h, &m, &n, nullptr), NTCAN_CONTR_OFF_BUS);
  EXPECT_EQ(n, 0);
  const auto got = take_all(h);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].data[0], 1);
  EXPECT_EQ(got[1].data[0], 4);

  // canStatus: the record is not written; otherwise it carries the board status.
  ntcan_sim::set_board_status(1, 0xC0FFEE);
  ntcan_sim::fail_next(1, Call::Status, NTCAN_SOCK_CMD_TIMEOUT);
  CAN_IF_STATUS st;
  std::memset(&st, 0xAB, sizeof st);
  EXPECT_EQ(canStatus(h, &st), NTCAN_SOCK_CMD_TIMEOUT);
  EXPECT_EQ(st.boardstatus, 0xABABABABu);
  EXPECT_EQ(canStatus(h, &st), NTCAN_SUCCESS);
  EXPECT_EQ(st.boardstatus, 0xC0FFEEu);
  EXPECT_STREQ(st.boardid, "VORBEL-SIM");

  // canClose: the failure is reported, but the handle is gone.
  ntcan_sim::fail_next(1, Call::Close, NTCAN_SOCK_CMD_TIMEOUT);
  EXPECT_EQ(canClose(h), NTCAN_SOCK_CMD_TIMEOUT);
  EXPECT_EQ(ntcan_sim::handles(1), std::vector<NTCAN_HANDLE>{peer});
  EXPECT_EQ(canClose(h), NTCAN_INVALID_HANDLE);
  const auto info = ntcan_sim::handle_info(h);
  ASSERT_TRUE(info.has_value());
  EXPECT_FALSE(info->open);
  EXPECT_EQ(info->baud, 6u);

  EXPECT_EQ(ntcan_sim::calls(Call::SetBaudrate, 1), 3u);
  EXPECT_EQ(ntcan_sim::calls(Call::Send, 1), 4u);
  EXPECT_EQ(ntcan_sim::calls(Call::Close), 2u);
}

TEST_F(ControlTest, ASimulatedDeviceAnswersBeforeTheRequestersSendReturns) {
  const NTCAN_HANDLE client = open(2, {0x585});
  std::vector<std::string> seen_by_device;
  std::vector<std::string> seen_by_monitor;

  // A device with node id 5 answers an SDO-style request on 0x605 with 0x585.
  const int device = ntcan_sim::attach(2, "node5", [&](const ntcan_sim::BusFrame& f) {
    seen_by_device.push_back(f.sender());
    if (f.msg.id == 0x605) {
      ntcan_sim::inject(f.net, make_frame(0x585, {0x43, f.msg.data[1], f.msg.data[2]}), "node5");
    }
  });
  ntcan_sim::attach(2, "monitor", [&](const ntcan_sim::BusFrame& f) {
    seen_by_monitor.push_back(f.sender());
  });

  ASSERT_EQ(send(client, make_frame(0x605, {0x40, 0x18, 0x10, 0})), NTCAN_SUCCESS);
  CMSG reply;
  int32_t n = 1;
  ASSERT_EQ(canTake(client, &reply, &n), NTCAN_SUCCESS);  // no waiting needed
  ASSERT_EQ(n, 1);
  EXPECT_EQ(reply.id, 0x585);
  EXPECT_EQ(reply.data[1], 0x18);

  ntcan_sim::inject(2, make_frame(0x000, {1, 5}));  // from "test"
  const std::string me = "handle " + std::to_string(client);
  EXPECT_EQ(seen_by_device, (std::vector<std::string>{me, "test"})) << "never its own answer";
  EXPECT_EQ(seen_by_monitor, (std::vector<std::string>{me, "node5", "test"}));

  ntcan_sim::detach(device);
  ASSERT_EQ(send(client, make_frame(0x605, {0x40, 0x18, 0x10, 0})), NTCAN_SUCCESS);
  EXPECT_EQ(seen_by_device.size(), 2u);
  EXPECT_TRUE(take_all(client).empty());
  EXPECT_THROW(ntcan_sim::attach(2, "monitor", [](const ntcan_sim::BusFrame&) {}),
               std::invalid_argument);
}

TEST_F(ControlTest, TheTraceRecordsEveryFrameWithSenderAndTimeAndStaysBounded) {
  const NTCAN_HANDLE a = open(0);
  const NTCAN_HANDLE b = open(9);  // frames are traced even when nobody listens
  const int64_t now_us = std::chrono::duration_cast<std::chrono::microseconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
  ASSERT_EQ(send(a, make_frame(0x181, {1, 2})), NTCAN_SUCCESS);
  ASSERT_EQ(send(b, ntcan_sim::make_rtr(0x701, 1)), NTCAN_SUCCESS);
  ntcan_sim::inject(0, make_frame(0x80, {}), "emcy-source");

  const auto all = ntcan_sim::trace();
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0].seq + 1, all[1].seq);
  EXPECT_EQ(all[0].frame.handle, a);
  EXPECT_EQ(all[0].frame.msg.data[1], 2);
  EXPECT_NEAR(static_cast<double>(all[0].time_us), static_cast<double>(now_us), 60e6);
  EXPECT_EQ(all[1].frame.net, 9);
  EXPECT_EQ(all[1].frame.msg.len, NTCAN_RTR | 1);
  EXPECT_EQ(all[2].frame.handle, NTCAN_NO_HANDLE);
  EXPECT_EQ(all[2].frame.participant, "emcy-source");
  EXPECT_EQ(ntcan_sim::trace(0).size(), 2u);

  ntcan_sim::set_trace_capacity(2);
  EXPECT_EQ(ntcan_sim::trace_dropped(), 1u);
  for (int i = 0; i < 5; ++i) ASSERT_EQ(send(a, make_frame(0x100 + i, {})), NTCAN_SUCCESS);
  const auto newest = ntcan_sim::trace();
  ASSERT_EQ(newest.size(), 2u);
  EXPECT_EQ(newest[1].frame.msg.id, 0x104);
  EXPECT_EQ(ntcan_sim::trace_dropped(), 6u);

  ntcan_sim::clear_trace();
  ntcan_sim::set_trace_enabled(false);
  ASSERT_EQ(send(a, make_frame(0x1, {})), NTCAN_SUCCESS);
  EXPECT_TRUE(ntcan_sim::trace().empty());
  EXPECT_EQ(ntcan_sim::trace_dropped(), 0u);
}

}  // namespace
