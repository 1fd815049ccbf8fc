// The supervision thread of a line, observed through the simulated driver's
// counters and the log while the test moves the framework clock.
#include <gtest/gtest.h>

#include <unistd.h>

#include <functional>

#include "bus_fixture.h"
#include "gateway_fixture.h"

using ntcan_sim::Call;
using testsupport::BusTest;
using testsupport::FakeGateway;
using testsupport::NodeProbe;

namespace {

class SupervisionTest : public BusTest {
 protected:
  void SetUp() override {
    BusTest::SetUp();
    gateway_.write_plugin("PeerName[0]=\"127.000.000.001\"\n");
  }

  // Create line 1 (net 0) through a node and wait for its thread to sleep.
  std::unique_ptr<NodeProbe> start_line(int expect_open_result = 0) {
    auto n = node_on(1, 5);
    EXPECT_EQ(n->can_open(), expect_open_result);
    settle(1);
    return n;
  }

  // Elapsed seconds of each of the next `n` calls of `call` on net 0;
  // `each_step` sees the number of calls so far after every clock step.
  std::vector<long> times_of_next(Call call, size_t n, const std::function<void(size_t)>& each_step = {}) {
    std::vector<long> out;
    uint64_t seen = ntcan_sim::calls(call, 0);
    while (out.size() < n) {
      if (!clock_->advance_to_next() || elapsed() > 20000) break;
      for (uint64_t c = ntcan_sim::calls(call, 0); seen < c; ++seen) out.push_back(elapsed());
      if (each_step) each_step(out.size());
    }
    return out;
  }

  uint64_t statuses() { return ntcan_sim::calls(Call::Status, 0); }

  FakeGateway gateway_;
};

}  // namespace

TEST_F(SupervisionTest, AHealthyLineIsQueriedOncePerSecondAfterTheStartPause) {
  auto n = start_line();
  char start[64];
  std::snprintf(start, sizeof start, "Line : 1, Handle: %d", n->raw_handle());
  EXPECT_EQ(log_->texts("Inside can_control: "), std::vector<std::string>{start});
  advance_s(60);
  EXPECT_EQ(log_->texts("can_control  "), std::vector<std::string>{"allow wget resets"});
  EXPECT_EQ(statuses(), 0u);
  advance_s(3);
  EXPECT_EQ(statuses(), 3u);

  // The board status is logged when it changes, once. (A failed query: the
  // fault matrix; the stop request: the library's shutdown.)
  ntcan_sim::set_board_status(0, 0x1234);
  advance_s(3);
  EXPECT_EQ(log_->texts("3. canStatus returned: "), std::vector<std::string>{"Line : 1boardstatus: 4660"});
  EXPECT_EQ(statuses(), 6u);
}

TEST_F(SupervisionTest, TwoFailedQueriesCloseTheLineAndReopenAttemptsSlowDownToAMinute) {
  auto n = start_line();
  advance_s(62);  // two good queries
  ntcan_sim::fail_until_cleared(0, Call::Status, NTCAN_SOCK_CMD_TIMEOUT);
  ntcan_sim::fail_until_cleared(0, Call::Open, NTCAN_NET_NOT_FOUND);
  advance_s(2);  // the first failure tolerated, the second closes the line
  ASSERT_EQ(n->line()->handle(), -1);
  const long closed_at = elapsed();

  const auto opens = times_of_next(Call::Open, 64);
  ASSERT_EQ(opens.size(), 64u);
  EXPECT_EQ(opens[0] - closed_at, 16) << "15 s after the close, then the 1 s cycle pause";
  for (size_t i = 1; i < opens.size(); ++i)
    EXPECT_EQ(opens[i] - opens[i - 1], std::min<long>(static_cast<long>(i) + 1, 60)) << "attempt " << i;
  EXPECT_EQ(log_->count("canOpen returned: "), 1u);
  EXPECT_TRUE(gateway_.calls().empty()) << "only an unreachable gateway is reset";
}

TEST_F(SupervisionTest, AReopenStraightAfterACloseIsNotGivenTheBenefitOfTheDoubt) {
  auto n = start_line();
  advance_s(61);
  ntcan_sim::fail_until_cleared(0, Call::Status, NTCAN_CONTR_OFF_BUS);
  advance_s(2);  // tolerated, then closed
  ASSERT_EQ(n->line()->handle(), -1);
  // The first reopen succeeds; the next failed query closes the line again
  // without the tolerance message, and the second outage logs no close.
  const uint64_t closes = ntcan_sim::calls(Call::Close, 0);
  ASSERT_TRUE(run_until([&] { return ntcan_sim::calls(Call::Close, 0) > closes; }));
  clock_->advance(std::chrono::milliseconds(5));  // the close's pause, after which it would log
  EXPECT_EQ(ntcan_sim::calls(Call::Open, 0), 2u);
  EXPECT_EQ(log_->count("1. canStatus returned: "), 1u);
  EXPECT_EQ(log_->count("2. canStatus returned: "), 1u);
}

TEST_F(SupervisionTest, AnUnreachableGatewayIsResetAtMostFiveTimesPerOutage) {
  auto n = start_line();
  advance_s(61);
  ntcan_sim::fail_until_cleared(0, Call::Status, NTCAN_SOCK_CMD_TIMEOUT);
  ntcan_sim::fail_until_cleared(0, Call::Open, NTCAN_SOCK_CONN_TIMEOUT);
  advance_s(2);
  ASSERT_EQ(n->line()->handle(), -1);

  // Which reopen attempts are followed by a reset.
  std::vector<size_t> reset_after;
  const auto opens = times_of_next(Call::Open, 40, [&](size_t attempts) {
    while (reset_after.size() < gateway_.calls().size()) reset_after.push_back(attempts);
  });
  ASSERT_EQ(opens.size(), 40u);
  EXPECT_EQ(reset_after, (std::vector<size_t>{1, 7, 13, 19, 25}));
  EXPECT_EQ(opens[1] - opens[0], 22) << "20 s after the reset, then the grown cycle pause";
  EXPECT_EQ(log_->count("system called with : "), 1u);

  // The gateway answers again: the line reopens; a healthy query clears the
  // count, and the next outage may reset again and logs the command again.
  ntcan_sim::clear_fault(0, Call::Open);
  ntcan_sim::clear_fault(0, Call::Status);
  ASSERT_TRUE(run_until([&] { return n->line()->handle() > 0; }));
  const uint64_t good = statuses();
  ASSERT_TRUE(run_until([&] { return statuses() > good; }));
  // After failed reopens the first failed query is tolerated again.
  ntcan_sim::fail_next(0, Call::Status, NTCAN_CONTR_BUSY);
  advance_s(1);
  EXPECT_EQ(log_->count("1. canStatus returned: "), 2u);
  EXPECT_GT(n->line()->handle(), 0);

  ntcan_sim::fail_until_cleared(0, Call::Status, NTCAN_SOCK_CMD_TIMEOUT);
  ntcan_sim::fail_until_cleared(0, Call::Open, NTCAN_SOCK_CONN_TIMEOUT);
  ASSERT_TRUE(run_until([&] { return gateway_.calls().size() == 6; }));
  EXPECT_EQ(log_->count("system called with : "), 2u);
}

TEST_F(SupervisionTest, ALineThatFailedToOpenIsRetried61SecondsLaterWithAReset) {
  ntcan_sim::fail_until_cleared(0, Call::Open, NTCAN_SOCK_CONN_TIMEOUT);
  auto n = start_line(NTCAN_SOCK_CONN_TIMEOUT);
  EXPECT_EQ(n->raw_handle(), -1);
  EXPECT_EQ(n->line()->handle(), -1);
  ASSERT_TRUE(run_until([&] { return ntcan_sim::calls(Call::Open, 0) == 2; }));
  EXPECT_EQ(elapsed(), 61);
  EXPECT_EQ(gateway_.calls().size(), 1u);
}

TEST_F(SupervisionTest, TheMarkerFileForbidsResetsButNotThePause) {
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(gateway_.dir().path().c_str()), 0);
  testsupport::write_file("DENY-wget-reset", "");
  ntcan_sim::fail_until_cleared(0, Call::Open, NTCAN_SOCK_CONN_TIMEOUT);
  auto n = start_line(NTCAN_SOCK_CONN_TIMEOUT);
  const auto opens = times_of_next(Call::Open, 2);
  ASSERT_EQ(opens.size(), 2u);
  EXPECT_EQ(opens[0], 61);
  EXPECT_EQ(opens[1], 61 + 20 + 2);
  EXPECT_EQ(log_->texts("can_control  "), std::vector<std::string>{"do not allow wget resets"});
  EXPECT_TRUE(gateway_.calls().empty());
  EXPECT_EQ(chdir(cwd), 0);
}
