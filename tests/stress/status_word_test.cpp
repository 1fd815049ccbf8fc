// The node's status word, written by the polling thread, read by device code
// on its own thread. Under ThreadSanitizer (the tsan preset) this shows the
// two meet safely.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "bus_fixture.h"

using testsupport::BusTest;

TEST_F(BusTest, DeviceCodeReadsTheStatusWordWhileTheServerLoopFillsTheBuffer) {
  auto node = node_on(1, 5);
  ASSERT_EQ(node->init(0x585), 0);
  std::atomic<bool> stop{false};
  std::thread loop([&] {
    while (!stop) can_looping();
  });
  int seen_other = 0;
  for (int i = 0; i < 2000; ++i) {
    ntcan_sim::inject(0, ntcan_sim::make_frame(0x585, {1}));
    const int status = node->can_return();
    CMSG batch[100];
    int count = 0;
    const int copied = node->can_array(batch, &count);
    seen_other += status != 0 || copied != 0;
  }
  stop = true;
  loop.join();
  EXPECT_EQ(seen_other, 0) << "every fill succeeded";
}
