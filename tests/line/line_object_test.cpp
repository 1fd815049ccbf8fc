// A CAN line object opening and closing handles on its net, and the texts of
// driver status codes. Failed baud rates and closes: the fault matrix.
#include <gtest/gtest.h>

#include "bus_fixture.h"

using ntcan_sim::Call;
using testsupport::BusTest;

TEST(StatusText, NamesEveryCodeWithItsValue) {
  EXPECT_EQ(can_error_str(0), "NTCAN_SUCCESS(0x00000000)");
  EXPECT_EQ(can_error_str(0x13), "NTCAN_NET_NOT_FOUND(0x00000013)");
  EXPECT_EQ(can_error_str(0x180), "NTCAN_SOCK_CONN_TIMEOUT(0x00000180)");
  EXPECT_EQ(can_error_str(0x999), "NTCAN_UNKNOWN(0x00000999)");
  EXPECT_EQ(can_error_str(static_cast<unsigned long>(-1L)), "NTCAN_UNKNOWN(0xffffffffffffffff)");
}

namespace {
struct LineTest : BusTest {
  void SetUp() override {
    BusTest::SetUp();
    line.setline(3);
    line.setbaud(4);
  }
  canline line;  // net 2, not registered, no supervision thread
};
}  // namespace

TEST_F(LineTest, OpensOnlyWhenTheDecisionTableSaysSo) {
  const int64_t before = clock_->now_us();
  EXPECT_EQ(line.can_close(), 0) << "nothing to close: no driver call, no pause";
  EXPECT_EQ(clock_->now_us(), before);
  NTCAN_HANDLE h = 5;
  // Closed line, not forced: refused without a driver call.
  EXPECT_EQ(line.can_open(h, false), -1);
  EXPECT_EQ(h, -1);
  EXPECT_EQ(ntcan_sim::calls(Call::Open) + ntcan_sim::calls(Call::Close), 0u);

  // Forced: opened at the line's baud rate; the first handle is the line's.
  EXPECT_EQ(line.can_open(h, true), 0);
  EXPECT_GT(h, 0);
  EXPECT_EQ(line.handle(), h);
  EXPECT_TRUE(line.is_open());
  EXPECT_EQ(ntcan_sim::baud_rate(h), 4u);
  auto info = ntcan_sim::handle_info(h);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->net, 2);
  EXPECT_EQ(info->rx_queue_size, 100);
  EXPECT_EQ(info->rx_timeout_ms, 1000);
  EXPECT_EQ(info->tx_timeout_ms, 1000);

  // A caller that already holds a handle on the open line keeps it.
  NTCAN_HANDLE mine = h;
  EXPECT_EQ(line.can_open(mine, false), 0);
  EXPECT_EQ(ntcan_sim::calls(Call::Open), 1u);
  // A caller without handle gets one of its own; the line keeps its handle.
  NTCAN_HANDLE other = -1;
  EXPECT_EQ(line.can_open(other, false), 0);
  EXPECT_GT(other, h);
  EXPECT_EQ(line.handle(), h);
  // A handle that is neither -1 nor valid is refused.
  NTCAN_HANDLE zero = 0;
  EXPECT_EQ(line.can_open(zero, false), -1);
  EXPECT_EQ(zero, -1);
  EXPECT_FALSE(line.is_open());
}

TEST_F(LineTest, AFailedOpenIsLoggedOncePerRunOfFailures) {
  ntcan_sim::fail_next(2, Call::Open, NTCAN_NET_NOT_FOUND, 3);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(line.can_open(), NTCAN_NET_NOT_FOUND);
  EXPECT_EQ(log_->texts("canOpen returned: "),
            std::vector<std::string>{"Line : 3mess: NTCAN_NET_NOT_FOUND(0x00000013)"});
  EXPECT_EQ(line.handle(), -1);
  EXPECT_EQ(line.can_open(), 0);
  EXPECT_GT(line.handle(), 0);
  ASSERT_EQ(line.can_close(), 0);
  ntcan_sim::fail_next(2, Call::Open, NTCAN_SOCK_CONN_TIMEOUT);
  EXPECT_EQ(line.can_open(), NTCAN_SOCK_CONN_TIMEOUT);
  EXPECT_EQ(log_->count("canOpen returned: "), 2u) << "a good open re-arms the message";
}
