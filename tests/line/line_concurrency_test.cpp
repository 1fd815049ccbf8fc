// Node operations on a line while its supervision thread closes and reopens
// it. Run under ThreadSanitizer (the tsan preset) this shows the line state
// shared between the threads is accessed safely.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "bus_fixture.h"

using ntcan_sim::Call;

TEST(LineConcurrency, NodesKeepWorkingWhileSupervisionClosesAndReopensTheLine) {
  telvo::ManualClock& clk = telvo::install_manual_clock();
  clk.set_settle_timeout(std::chrono::milliseconds(20));
  ntcan_sim::reset();
  telvo::LogCapture log;
  EqFct eq("CANTEST");

  // The clock runs on its own thread, fast: every pause of every thread ends.
  std::atomic<bool> stop{false};
  std::thread ticker([&] {
    while (!stop) clk.advance(std::chrono::milliseconds(500));
  });

  testsupport::NodeProbe creator("CREATOR", &eq);
  creator.set_address(1, 1);
  ASSERT_EQ(creator.can_open(), 0);

  std::vector<std::unique_ptr<testsupport::NodeProbe>> nodes;
  for (int i = 0; i < 3; ++i) {
    nodes.push_back(std::make_unique<testsupport::NodeProbe>("N" + std::to_string(i), &eq));
    nodes.back()->set_address(1, 10 + i);
    nodes.back()->make_master(1);
  }
  std::atomic<long> opened{0};
  std::vector<std::thread> workers;
  for (auto& n : nodes) {
    workers.emplace_back([&, node = n.get()] {
      for (int k = 0; k < 300; ++k) {
        const int r = node->can_open();
        EXPECT_TRUE(r == 0 || r == -1 || r == NTCAN_SOCK_CONN_TIMEOUT) << r;
        if (r == 0) ++opened;
        (void)node->handle();
        (void)node->line()->is_open();
        EXPECT_TRUE(node->can_close() == 0 || node->raw_handle() == -1);
      }
    });
  }
  // Outages come and go while the nodes work.
  for (int round = 0; round < 30; ++round) {
    ntcan_sim::fail_until_cleared(0, Call::Status, NTCAN_CONTR_OFF_BUS);
    if (round % 3 == 0) ntcan_sim::fail_next(0, Call::Open, NTCAN_SOCK_CONN_TIMEOUT, 2);
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
    ntcan_sim::clear_fault(0, Call::Status);
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
  }
  for (auto& w : workers) w.join();
  stop = true;
  ticker.join();
  EXPECT_GT(opened.load(), 0);
  EXPECT_GT(ntcan_sim::calls(Call::Close, 0), 0u);
}
