// Helpers shared by the tests of the simulated CAN driver.
#ifndef NTCAN_SIM_TEST_SUPPORT_H
#define NTCAN_SIM_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <initializer_list>
#include <vector>

#include "ntcan.h"
#include "ntcan_sim.h"

namespace ntcan_test {

// Every case starts and ends with a reset simulation.
class SimTest : public testing::Test {
 protected:
  void SetUp() override { ntcan_sim::reset(); }
  void TearDown() override { ntcan_sim::reset(); }

  static NTCAN_HANDLE open(int net, std::initializer_list<int32_t> ids = {}, int32_t rx_queue = 100) {
    NTCAN_HANDLE h = NTCAN_NO_HANDLE;
    EXPECT_EQ(canOpen(net, 0, 10, rx_queue, 1000, 1000, &h), NTCAN_SUCCESS);
    for (int32_t id : ids) EXPECT_EQ(canIdAdd(h, id), NTCAN_SUCCESS);
    return h;
  }

  static NTCAN_RESULT send(NTCAN_HANDLE h, CMSG m) {
    int32_t n = 1;
    return canSend(h, &m, &n);
  }

  static std::vector<CMSG> take_all(NTCAN_HANDLE h) {
    std::vector<CMSG> out(ntcan_sim::kMaxQueueSize);
    int32_t n = ntcan_sim::kMaxQueueSize;
    EXPECT_EQ(canTake(h, out.data(), &n), NTCAN_SUCCESS);
    out.resize(static_cast<std::size_t>(n));
    return out;
  }
};

}  // namespace ntcan_test

#endif  // NTCAN_SIM_TEST_SUPPORT_H
