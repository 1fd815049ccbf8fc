/* Uses the driver from C: two handles on one net exchange a frame. */
#include <string.h>

#include "ntcan.h"

int ntcan_c_round_trip(int net) {
  NTCAN_HANDLE a = NTCAN_NO_HANDLE, b = NTCAN_NO_HANDLE;
  CMSG out, in;
  CAN_IF_STATUS status;
  int32_t n = 1;
  int result = -1;

  memset(&out, 0, sizeof out);
  out.id = 0x123;
  out.len = 1;
  out.data[0] = 0x5A;
  if (canOpen(net, 0, 10, 100, 1000, 1000, &a) == NTCAN_SUCCESS &&
      canOpen(net, 0, 10, 100, 1000, 1000, &b) == NTCAN_SUCCESS && canSetBaudrate(b, 6) == 0 &&
      canIdAdd(b, 0x123) == 0 && canStatus(b, &status) == 0 && canSend(a, &out, &n) == 0 &&
      canTake(b, &in, &n) == NTCAN_SUCCESS && n == 1) {
    result = in.data[0];
  }
  canClose(a);
  canClose(b);
  return result;
}
