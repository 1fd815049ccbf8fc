// Device code reads the node's status word on its own thread while the
// polling thread writes it. Shows a data race under ThreadSanitizer when
// either side is not atomic.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "bus_fixture.h"

using testsupport::BusTest;

TEST_F(BusTest, DeviceCodeReadsTheStatusWordWhileTheServerLoopFills) {
  auto node = node_on(1, 5);
  ASSERT_EQ(node->init(0x585), 0);
  std::atomic<bool> stop{false};
  std::atomic<int> passes{0};
  std::thread loop([&] {
    for (; !stop; ++passes) can_looping();
  });
  int failed = 0;
  while (passes < 1000) failed += node->can_return() != 0;
  stop = true;
  loop.join();
  EXPECT_EQ(failed, 0) << "every fill succeeded";
}
