// The server loop polling and supervising while device code re-initialises,
// reattaches and reads a node by SDO, a client sends it NMT commands and moves it, and
// other device code constructs, initialises, moves and destroys nodes of the
// same addresses. Under the sanitizer builds this shows the registry and the
// nodes' lines, handles and buffers change safely and no destroyed node is
// ever polled; with reused handle numbers, no closed handle is ever used.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>

#include "bus_fixture.h"
#include "canopen_device.h"

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

using RegistryConcurrency = testsupport::ReusedHandlesTest;

TEST_F(RegistryConcurrency, TheLoopDeviceCodeAndClientsWorkOnNodesWhileOthersComeAndGo) {
  telvo::ManualClock& clk = *clock_;
  clk.set_settle_timeout(std::chrono::milliseconds(10));
  EqFct& eq = eq_;
  canopen_sim::Device device5(0, 5), device6(0, 6);
  testsupport::NodeProbe node("MOTOR", &eq), view("MOTOR_VIEW", &eq);
  node.set_address(1, 5);
  view.set_address(1, 5);
  ASSERT_EQ(node.init(0x585), 0);
  ASSERT_EQ(view.init(0x705), 0);

  std::atomic<bool> stop{false}, device_done{false};
  std::thread ticker([&] {
    while (!stop) clk.advance(std::chrono::milliseconds(100));
  });
  // The loop supervises the follower while it and its master change blocks.
  std::thread server_loop([&] {
    CMSG batch[100];
    for (int count = 0; !stop; view.alive_->supervise(5, batch, &count)) {
      can_looping();
      if (view.can_array(batch, &count) != 0) count = 0;
    }
  });
  std::thread device_code([&] {
    for (int k = 0; k < 100; ++k) {
      const int id = 5 + k % 2;  // whichever the client set last, or not
      node.init(0x580 + id);
      node.init_emergency();
      node.init(0x700 + id);
      node.alive_->consumer_timeout_ms(300);
      view.reattach();
      node.get_manufacture();
    }
    device_done = true;
  });
  // Nodes of lines 1..3, node ids 5..7, that come and go.
  std::thread churn([&] {
    std::mt19937 rng(7);
    for (int round = 0; round < 30; ++round) {
      std::vector<std::unique_ptr<GuardedNode>> nodes;
      for (int k = 0; k < 3; ++k) {
        std::lock_guard<std::recursive_mutex> lk(eq.lock());
        nodes.push_back(std::make_unique<GuardedNode>("C" + std::to_string(k), &eq));
      }
      for (auto& n : nodes) {
        n->set_address(1 + static_cast<int>(rng() % 3), 5 + static_cast<int>(rng() % 3));
        const int r = n->init(0x580 + n->value()->i2_data);
        EXPECT_TRUE(r == 0 || r == -1 || r == NTCAN_INVALID_HANDLE) << r;
        if (rng() % 2) n->set_address(n->value()->i1_data, 5 + static_cast<int>(rng() % 3));
      }
      std::lock_guard<std::recursive_mutex> lk(eq.lock());
      nodes.clear();
    }
  });
  for (int k = 0; !device_done; ++k) {
    EqData in;
    in.set(1);
    eq.client_set("MOTOR.START", in, "alice", "ctl1");
    in.set(IIII{1, 5 + k % 2, 0, 0});
    eq.client_set("MOTOR", in, "alice", "ctl1");
    view.alive_->isalive();
  }
  device_code.join();
  churn.join();
  stop = true;
  server_loop.join();
  ticker.join();
  EXPECT_EQ(g_dead_polls.load(), 0);
}
