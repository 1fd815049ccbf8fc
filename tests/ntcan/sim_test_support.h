// Helpers shared by the tests of the simulated CAN driver.
#ifndef NTCAN_SIM_TEST_SUPPORT_H
#define NTCAN_SIM_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <initializer_list>
#include <vector>

#include "ntcan.h"
#include "ntcan_sim.h"

namespace ntcan_test {

// Every case starts from a reset simulation.
class SimTest : public testing::Test {
 protected:
  void SetUp() override { ntcan_sim::reset(); }
  void TearDown() override { ntcan_sim::reset(); }

  // Opens a handle on `net` with the given receive queue and enabled ids.
  static NTCAN_HANDLE open(int net, std::initializer_list<int32_t> ids = {},
                           int32_t rx_queue = 100, int32_t rx_timeout_ms = 1000) {
    NTCAN_HANDLE h = NTCAN_NO_HANDLE;
    EXPECT_EQ(canOpen(net, 0, 10, rx_queue, 1000, rx_timeout_ms, &h), NTCAN_SUCCESS);
    for (int32_t id : ids) EXPECT_EQ(canIdAdd(h, id), NTCAN_SUCCESS);
    return h;
  }

  static NTCAN_RESULT send(NTCAN_HANDLE h, CMSG m) {
    int32_t n = 1;
    return canSend(h, &m, &n);
  }

  // Takes everything waiting on a handle.
  static std::vector<CMSG> take_all(NTCAN_HANDLE h) {
    std::vector<CMSG> out;
    CMSG buf[16];
    for (;;) {
      int32_t n = 16;
      EXPECT_EQ(canTake(h, buf, &n), NTCAN_SUCCESS);
      out.insert(out.end(), buf, buf + n);
      if (n < 16) return out;
    }
  }

  static std::vector<int32_t> ids_of(const std::vector<CMSG>& frames) {
    std::vector<int32_t> ids;
    for (const CMSG& m : frames) ids.push_back(m.id);
    return ids;
  }
};

}  // namespace ntcan_test

#endif  // NTCAN_SIM_TEST_SUPPORT_H
