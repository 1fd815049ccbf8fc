// The server loop polling while device code initialises, re-addresses and
// destroys nodes on other threads. Under the sanitizer builds this shows the
// registry is consistent and no destroyed node is ever polled.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>

#include "bus_fixture.h"

namespace {

std::atomic<int> g_dead_polls{0};

// Remembers whether it is alive; a poll of a destroyed node would be seen
// here (and by AddressSanitizer as a use after free). Like every device class
// that overrides an operation of the loop, it leaves the loop before its own
// members go.
class GuardedNode : public testsupport::NodeProbe {
 public:
  using NodeProbe::NodeProbe;
  ~GuardedNode() override {
    dellist();
    alive_flag = false;
  }
  int can_fill() override {
    if (!alive_flag) ++g_dead_polls;
    return NodeProbe::can_fill();
  }
  std::atomic<bool> alive_flag{true};
};

}  // namespace

TEST(RegistryConcurrency, ThePollingLoopNeverMeetsADestroyedOrHalfChangedNode) {
  telvo::ManualClock& clk = telvo::install_manual_clock();
  clk.set_settle_timeout(std::chrono::milliseconds(10));
  ntcan_sim::reset();
  telvo::LogCapture log;
  EqFct eq("CANTEST");

  std::atomic<bool> stop{false};
  std::thread ticker([&] {
    while (!stop) clk.advance(std::chrono::milliseconds(100));
  });
  std::atomic<long> loops{0};
  std::thread server_loop([&] {
    while (!stop) {
      can_looping();
      ++loops;
    }
  });

  std::vector<std::thread> device_threads;
  std::atomic<long> operations{0};
  for (int t = 0; t < 3; ++t) {
    device_threads.emplace_back([&, t] {
      std::mt19937 rng(static_cast<unsigned>(t));
      for (int round = 0; round < 30; ++round) {
        // Each device thread owns its nodes; the equipment function's lock
        // serialises them with the other threads' construction.
        std::vector<std::unique_ptr<GuardedNode>> nodes;
        for (int k = 0; k < 3; ++k) {
          std::lock_guard<std::recursive_mutex> lk(eq.lock());
          nodes.push_back(std::make_unique<GuardedNode>("T" + std::to_string(t) + "N" + std::to_string(k), &eq));
        }
        for (auto& n : nodes) {
          n->set_address(1 + static_cast<int>(rng() % 3), 1 + static_cast<int>(rng() % 4));
          const int r = n->init(0x580 + n->value()->i2_data);
          // A follower works on its master's handle, which another thread
          // may just be closing: the driver then reports the handle invalid.
          EXPECT_TRUE(r == 0 || r == -1 || r == NTCAN_INVALID_HANDLE) << r;
          ++operations;
        }
        // Move some to another node id, initialise them again.
        for (auto& n : nodes) {
          if (rng() % 2) continue;
          n->set_address(n->value()->i1_data, 1 + static_cast<int>(rng() % 4));
          n->init(0x700 + n->value()->i2_data);
          CMSG batch[100];
          int count = 0;
          n->can_array(batch, &count);
          ++operations;
        }
        std::lock_guard<std::recursive_mutex> lk(eq.lock());
        nodes.clear();
      }
    });
  }
  for (auto& th : device_threads) th.join();
  stop = true;
  server_loop.join();
  ticker.join();
  EXPECT_EQ(g_dead_polls.load(), 0);
  EXPECT_GT(loops.load(), 0);
  EXPECT_EQ(operations.load() > 0, true);
  // Every node is gone, so the loop finds nothing to poll.
  const uint64_t takes = ntcan_sim::calls(ntcan_sim::Call::Take);
  can_looping();
  EXPECT_EQ(ntcan_sim::calls(ntcan_sim::Call::Take), takes);
}
