#include "bare_sdo.h"

#include <cstring>

#include "ntcan_sim.h"

namespace vorbel_bench {

int bare_upload(NTCAN_HANDLE h, int node, uint16_t index, char* buffer, int size) {
  constexpr int kBatch = 100;
  CMSG req{};
  req.id = 0x600 + node;
  req.len = 8;
  req.data[0] = 0x40;
  req.data[1] = static_cast<uint8_t>(index & 0xFF);
  req.data[2] = static_cast<uint8_t>(index >> 8);
  CMSG in[kBatch];
  auto round_trip = [&]() -> const CMSG* {
    int32_t one = 1;
    if (canSend(h, &req, &one) != NTCAN_SUCCESS) return nullptr;
    int32_t n = kBatch;
    if (canTake(h, in, &n) != NTCAN_SUCCESS || n < 1) return nullptr;
    return &in[0];
  };
  const CMSG* r = round_trip();
  if (!r || (r->data[0] & 0xE0) != 0x40) return -1;
  if (r->data[0] & 0x02) {  // expedited
    int n = (r->data[0] & 0x01) ? 4 - ((r->data[0] >> 2) & 3) : 4;
    if (n > size - 1) n = size - 1;
    std::memcpy(buffer, &r->data[4], static_cast<size_t>(n));
    buffer[n] = '\0';
    return 0;
  }
  int offset = 0;
  for (int toggle = 0;; toggle ^= 1) {
    std::memset(req.data, 0, sizeof req.data);
    req.data[0] = static_cast<uint8_t>(0x60 | toggle << 4);
    r = round_trip();
    if (!r || (r->data[0] & 0xE0) != 0 || ((r->data[0] >> 4) & 1) != toggle) return -1;
    int n = 7 - ((r->data[0] >> 1) & 7);
    if (n > size - 1 - offset) n = size - 1 - offset;
    if (n < 0) n = 0;
    std::memcpy(buffer + offset, &r->data[1], static_cast<size_t>(n));
    offset += n;
    if (r->data[0] & 0x01) return 0;
  }
}

int bare_download(NTCAN_HANDLE h, int node, uint16_t index, const uint8_t* data, int len) {
  CMSG req{};
  req.id = 0x600 + node;
  req.len = 8;
  req.data[1] = static_cast<uint8_t>(index & 0xFF);
  req.data[2] = static_cast<uint8_t>(index >> 8);
  CMSG in[100];
  auto answered = [&](uint8_t expected) {
    int32_t one = 1;
    int32_t n = 100;
    return canSend(h, &req, &one) == NTCAN_SUCCESS && canTake(h, in, &n) == NTCAN_SUCCESS && n >= 1 &&
           in[0].data[0] == expected;
  };
  if (len <= 4) {
    req.data[0] = static_cast<uint8_t>(0x23 | (4 - len) << 2);
    std::memcpy(&req.data[4], data, static_cast<size_t>(len));
    return answered(0x60) ? 0 : -1;
  }
  req.data[0] = 0x21;
  for (int i = 0; i < 4; ++i) req.data[4 + i] = static_cast<uint8_t>(static_cast<uint32_t>(len) >> (8 * i));
  if (!answered(0x60)) return -1;
  int toggle = 0;
  for (int sent = 0; sent < len; sent += 7, toggle ^= 1) {
    const int n = len - sent < 7 ? len - sent : 7;
    std::memset(req.data, 0, sizeof req.data);
    req.data[0] = static_cast<uint8_t>(toggle << 4 | (7 - n) << 1 | (sent + n == len ? 1 : 0));
    std::memcpy(&req.data[1], data + sent, static_cast<size_t>(n));
    if (!answered(static_cast<uint8_t>(0x20 | toggle << 4))) return -1;
  }
  return 0;
}

uint64_t driver_calls_on(int net) {
  using ntcan_sim::Call;
  uint64_t n = 0;
  for (Call c : {Call::Open, Call::SetBaudrate, Call::Close, Call::Status, Call::Send, Call::Take, Call::Read,
                 Call::IdAdd, Call::IdDelete})
    n += ntcan_sim::calls(c, net);
  return n;
}

}  // namespace vorbel_bench
