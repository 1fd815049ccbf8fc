// Driver calls as the ntcan tests make them: a handle with a filter, one
// frame sent, every queued frame taken.
#ifndef VORBEL_TEST_DRIVER_CALLS_H
#define VORBEL_TEST_DRIVER_CALLS_H

#include <gtest/gtest.h>

#include <initializer_list>
#include <vector>

#include "ntcan.h"

namespace {

NTCAN_HANDLE open(int net, std::initializer_list<int32_t> ids = {}, int32_t rx_queue = 100, int32_t rx_ms = 1000) {
  NTCAN_HANDLE h = NTCAN_NO_HANDLE;
  EXPECT_EQ(canOpen(net, 0, 10, rx_queue, 1000, rx_ms, &h), NTCAN_SUCCESS);
  for (int32_t id : ids) EXPECT_EQ(canIdAdd(h, id), NTCAN_SUCCESS);
  return h;
}

NTCAN_RESULT send(NTCAN_HANDLE h, CMSG m) {
  int32_t n = 1;
  return canSend(h, &m, &n);
}

std::vector<CMSG> take_all(NTCAN_HANDLE h) {
  std::vector<CMSG> out(1000);
  int32_t n = 1000;
  EXPECT_EQ(canTake(h, out.data(), &n), NTCAN_SUCCESS);
  out.resize(static_cast<std::size_t>(n));
  return out;
}

}  // namespace

#endif  // VORBEL_TEST_DRIVER_CALLS_H
