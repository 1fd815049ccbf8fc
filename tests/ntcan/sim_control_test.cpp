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

TEST_F(ControlTest, FailedCallsLeaveTheStateTheirFailureDescribes) {
  // canOpen against an unreachable gateway: nothing opens until cleared.
  ntcan_sim::fail_until_cleared(1, Call::Open, NTCAN_SOCK_CONN_TIMEOUT);
  NTCAN_HANDLE h = 17;
  EXPECT_EQ(canOpen(1, 0, 10, 100, 1000, 1000, &h), NTCAN_SOCK_CONN_TIMEOUT);
  EXPECT_EQ(canOpen(1, 0, 10, 100, 1000, 1000, &h), NTCAN_SOCK_CONN_TIMEOUT);
  EXPECT_EQ(h, NTCAN_NO_HANDLE);
  EXPECT_TRUE(ntcan_sim::handles(1).empty());
  const NTCAN_HANDLE peer = open(2);  // other nets are not affected
  ntcan_sim::clear_fault(1, Call::Open);
  h = open(1, {0x10});
  EXPECT_EQ(ntcan_sim::calls(Call::Open, 1), 3u);

  // canSetBaudrate: the rate stays unset. canIdDelete: the filter stays.
  ntcan_sim::fail_next(1, Call::SetBaudrate, NTCAN_CONTR_BUSY);
  EXPECT_EQ(canSetBaudrate(h, 6), NTCAN_CONTR_BUSY);
  EXPECT_EQ(ntcan_sim::baud_rate(h), std::nullopt);
  EXPECT_EQ(canSetBaudrate(h, 6), NTCAN_SUCCESS);
  ntcan_sim::fail_next(1, Call::IdDelete, NTCAN_CONTR_BUSY);
  EXPECT_EQ(canIdDelete(h, 0x10), NTCAN_CONTR_BUSY);
  EXPECT_EQ(ntcan_sim::enabled_ids(h), std::vector<int32_t>{0x10});

  // canSend after one good call: that one is delivered, the failed ones not.
  const NTCAN_HANDLE sender = open(1);
  ntcan_sim::fail_after(1, Call::Send, 1, NTCAN_TX_ERROR, 2);
  EXPECT_EQ(send(sender, make_frame(0x10, {1})), NTCAN_SUCCESS);
  EXPECT_EQ(send(sender, make_frame(0x10, {2})), NTCAN_TX_ERROR);
  EXPECT_EQ(send(sender, make_frame(0x10, {3})), NTCAN_TX_ERROR);
  EXPECT_EQ(send(sender, make_frame(0x10, {4})), NTCAN_SUCCESS);
  EXPECT_EQ(send(peer, make_frame(0x10, {5})), NTCAN_SUCCESS) << "net 2 has no fault";

  // canRead: nothing is taken, and it does not wait.
  ntcan_sim::fail_next(1, Call::Read, NTCAN_CONTR_OFF_BUS);
  CMSG m;
  int32_t n = 1;
  EXPECT_EQ(canRead(h, &m, &n, nullptr), NTCAN_CONTR_OFF_BUS);
  EXPECT_EQ(n, 0);
  const auto got = take_all(h);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[1].data[0], 4);

  // canStatus: the record is not written; otherwise it has the board status.
  ntcan_sim::set_board_status(1, 0xC0FFEE);
  ntcan_sim::fail_next(1, Call::Status, NTCAN_SOCK_CMD_TIMEOUT);
  CAN_IF_STATUS st;
  std::memset(&st, 0xAB, sizeof st);
  EXPECT_EQ(canStatus(h, &st), NTCAN_SOCK_CMD_TIMEOUT);
  EXPECT_EQ(st.boardstatus, 0xABABABABu);
  EXPECT_EQ(canStatus(h, &st), NTCAN_SUCCESS);
  EXPECT_EQ(st.boardstatus, 0xC0FFEEu);

  // canClose: the failure is reported, but the handle is gone.
  ntcan_sim::fail_next(1, Call::Close, NTCAN_SOCK_CMD_TIMEOUT);
  EXPECT_EQ(canClose(h), NTCAN_SOCK_CMD_TIMEOUT);
  EXPECT_EQ(canClose(h), NTCAN_INVALID_HANDLE);
  EXPECT_EQ(ntcan_sim::handles(1), std::vector<NTCAN_HANDLE>{sender});
  EXPECT_EQ(ntcan_sim::baud_rate(h), 6u) << "closed handles stay inspectable";
  EXPECT_EQ(ntcan_sim::calls(Call::Send, 1), 4u);
  EXPECT_EQ(ntcan_sim::calls(Call::Close), 2u);
}

TEST_F(ControlTest, ASimulatedDeviceAnswersBeforeTheRequestersSendReturns) {
  const NTCAN_HANDLE client = open(2, {0x585});
  std::vector<std::string> seen_by_device, seen_by_monitor;

  // Node 5 answers a request on 0x605 with 0x585, echoing the index bytes.
  const int device = ntcan_sim::attach(2, "node5", [&](const ntcan_sim::BusFrame& f) {
    seen_by_device.push_back(f.sender());
    if (f.msg.id == 0x605) {
      ntcan_sim::inject(f.net, make_frame(0x585, {0x43, f.msg.data[1], f.msg.data[2]}), "node5");
    }
  });
  ntcan_sim::attach(2, "monitor",
                    [&](const ntcan_sim::BusFrame& f) { seen_by_monitor.push_back(f.sender()); });

  ASSERT_EQ(send(client, make_frame(0x605, {0x40, 0x18, 0x10, 0})), NTCAN_SUCCESS);
  const auto reply = take_all(client);  // no waiting needed
  ASSERT_EQ(reply.size(), 1u);
  EXPECT_EQ(reply[0].id, 0x585);
  EXPECT_EQ(reply[0].data[1], 0x18);

  ntcan_sim::inject(2, make_frame(0x000, {1, 5}));  // from "test"
  const std::string me = "handle " + std::to_string(client);
  EXPECT_EQ(seen_by_device, (std::vector<std::string>{me, "test"})) << "never its own answer";
  EXPECT_EQ(seen_by_monitor, (std::vector<std::string>{me, "node5", "test"})) << "in bus order";

  ntcan_sim::detach(device);
  ASSERT_EQ(send(client, make_frame(0x605, {0x40, 0x18, 0x10, 0})), NTCAN_SUCCESS);
  EXPECT_EQ(seen_by_device.size(), 2u);
  EXPECT_TRUE(take_all(client).empty());
}

TEST_F(ControlTest, TheTraceRecordsEveryFrameWithSenderAndTimeAndStaysBounded) {
  const NTCAN_HANDLE a = open(0);
  const NTCAN_HANDLE b = open(9);  // frames are traced even when nobody listens
  using namespace std::chrono;
  const auto now_us = duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
  ASSERT_EQ(send(a, make_frame(0x181, {1, 2})), NTCAN_SUCCESS);
  ASSERT_EQ(send(b, ntcan_sim::make_rtr(0x701, 1)), NTCAN_SUCCESS);
  ntcan_sim::inject(0, make_frame(0x80, {}), "emcy-source");

  const auto all = ntcan_sim::trace();
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0].seq + 1, all[1].seq);
  EXPECT_EQ(all[0].frame.handle, a);
  EXPECT_EQ(all[0].frame.msg.data[1], 2);
  EXPECT_NEAR(static_cast<double>(all[0].time_us), static_cast<double>(now_us), 60e6);
  EXPECT_EQ(all[1].frame.msg.len, NTCAN_RTR | 1);
  EXPECT_EQ(all[2].frame.sender(), "emcy-source");
  EXPECT_EQ(ntcan_sim::trace(0).size(), 2u);

  ntcan_sim::set_trace_capacity(2);
  for (int i = 0; i < 5; ++i) ASSERT_EQ(send(a, make_frame(0x100 + i, {})), NTCAN_SUCCESS);
  ASSERT_EQ(ntcan_sim::trace().size(), 2u);
  EXPECT_EQ(ntcan_sim::trace().back().frame.msg.id, 0x104);
  EXPECT_EQ(ntcan_sim::trace_dropped(), 6u);

  ntcan_sim::set_trace_enabled(false);
  ntcan_sim::clear_trace();
  ASSERT_EQ(send(a, make_frame(0x1, {})), NTCAN_SUCCESS);
  EXPECT_TRUE(ntcan_sim::trace().empty());
}

}  // namespace
