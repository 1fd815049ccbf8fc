/* Uses the driver from C: two handles on one net exchange a frame. */
#include "ntcan.h"

int ntcan_c_round_trip(int net) {
  NTCAN_HANDLE a = NTCAN_NO_HANDLE, b = NTCAN_NO_HANDLE;
  CMSG out = {0}, in;
  int32_t n = 1;
  int result = -1;

  out.id = 0x123;
  out.len = 1;
  out.data[0] = 0x5A;
  if (canOpen(net, 0, 10, 100, 1000, 1000, &a) == NTCAN_SUCCESS &&
      canOpen(net, 0, 10, 100, 1000, 1000, &b) == NTCAN_SUCCESS && canIdAdd(b, 0x123) == 0 &&
      canSend(a, &out, &n) == 0 && canTake(b, &in, &n) == NTCAN_SUCCESS && n == 1) {
    result = in.data[0];
  }
  canClose(a);
  canClose(b);
  return result;
}
