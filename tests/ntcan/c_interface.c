/* Uses the driver from C: two handles on one net exchange a frame. */
#include <string.h>

#include "ntcan.h"

int ntcan_c_round_trip(int net) {
  NTCAN_HANDLE a = NTCAN_NO_HANDLE;
  NTCAN_HANDLE b = NTCAN_NO_HANDLE;
  CMSG out;
  CMSG in;
  CAN_IF_STATUS status;
  int32_t n = 1;
  int result = -1;

  memset(&out, 0, sizeof out);
  memset(&in, 0, sizeof in);
  if (canOpen(net, 0, 10, 100, 1000, 1000, &a) != NTCAN_SUCCESS) return -1;
  if (canOpen(net, 0, 10, 100, 1000, 1000, &b) != NTCAN_SUCCESS) goto close_a;
  if (canSetBaudrate(b, 6) != NTCAN_SUCCESS || canIdAdd(b, 0x123) != NTCAN_SUCCESS ||
      canStatus(b, &status) != NTCAN_SUCCESS) {
    goto close_b;
  }
  out.id = 0x123;
  out.len = 1;
  out.data[0] = 0x5A;
  if (canSend(a, &out, &n) != NTCAN_SUCCESS || n != 1) goto close_b;
  n = 1;
  if (canTake(b, &in, &n) == NTCAN_SUCCESS && n == 1 && in.id == 0x123) result = in.data[0];
close_b:
  canClose(b);
close_a:
  canClose(a);
  return result;
}
