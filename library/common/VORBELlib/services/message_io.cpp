// Frame I/O on a node's handle, polling for replies, remote requests, the
// server loop's fill of every registered node and the debug print.
#include <time.h>

#include <cstdio>
#include <cstring>
#include <type_traits>

#include "D_vorbel.h"
#include "line/line_log.h"
#include "node/node_registry.h"
#include "services/node_id.h"

static_assert(std::is_same<int32_t, int>::value, "frame counts are passed as int");

namespace {

constexpr int kMaxData = 8;
constexpr uint8_t kRtr = 0x10;
constexpr int kPollAttempts = 50;
constexpr int kPollBatch = 10;
constexpr long kPollSleepNs = 5000000;  // 5 ms
constexpr int kNoReply = 32;
constexpr unsigned long kPrintFramesBit = 0x100000;

// Data bytes a frame carries: the low four bits of its length byte, at most 8.
int data_length(const CMSG& m) {
  const int n = m.len & 0x0F;
  return n < kMaxData ? n : kMaxData;
}

bool valid_length(int length) { return length >= 0 && length <= kMaxData; }

// A frame of `length` data bytes (checked by the caller).
CMSG make_frame(int ident, int length, const unsigned char* data) {
  CMSG m{};
  m.id = ident;
  m.len = static_cast<uint8_t>(length);
  if (length > 0) std::memcpy(m.data, data, static_cast<size_t>(length));
  return m;
}

}  // namespace

// A node may use its handle while its line is open and still holds it;
// otherwise the operations answer 77 without calling the driver. The handle
// is held against every close for the length of one driver call.

namespace {

// Stores the status of a receive call in the node's status word, if the node
// has one (under the registry lock: the word's block may change hands).
void record(int* const& word, int status) {
  vorbel::LoopLock lk;
  if (word) vorbel::store_word(word, status);
}

}  // namespace

int D_can::can_write(int ident, int length, unsigned char* Data) {
  if (!valid_length(length) || (length > 0 && !Data)) return NTCAN_INVALID_PARAMETER;
  CMSG m = make_frame(ident, length, Data);
  vorbel::HandleUse use(*this);
  if (!use) return NTCAN_INVALID_HANDLE;
  int32_t count = 1;
  return canSend(use.handle(), &m, &count);
}

int D_can::can_read(CMSG* rxmsg, int* length) {
  if (!rxmsg || !length) return NTCAN_INVALID_PARAMETER;
  int32_t room = *length;
  *length = -1;
  int ret = NTCAN_INVALID_HANDLE;
  {
    vorbel::HandleUse use(*this);
    if (!use) return ret;
    ret = canRead(use.handle(), rxmsg, &room, nullptr);
  }
  *length = room;
  record(can_ret_, ret);
  return ret;
}

int D_can::can_get(CMSG* rxmsg, int* length) {
  if (!rxmsg || !length) return NTCAN_INVALID_PARAMETER;
  int32_t room = *length;
  *length = -1;
  int ret = NTCAN_INVALID_HANDLE;
  {
    vorbel::HandleUse use(*this);
    if (!use) return ret;
    ret = canTake(use.handle(), rxmsg, &room);
  }
  *length = room;
  record(can_ret_, ret);
  return ret;
}

int D_can::can_poll(int* ident, int* length, unsigned char* Data) {
  // Data also receives the reply, so it is needed whatever the request's length.
  if (!ident || !length || !Data || !valid_length(*length)) return NTCAN_INVALID_PARAMETER;
  CMSG request = make_frame(*ident, *length, Data);
  {
    vorbel::HandleUse use(*this);
    if (!use) return NTCAN_INVALID_HANDLE;
    int32_t count = 1;
    const int sent = canSend(use.handle(), &request, &count);
    if (sent != NTCAN_SUCCESS) return sent;
  }

  CMSG batch[kPollBatch];
  for (int attempt = 0; attempt < kPollAttempts; ++attempt) {
    const timespec pause{0, kPollSleepNs};
    nanosleep(&pause, nullptr);
    int32_t n = kPollBatch;
    {
      vorbel::HandleUse use(*this);
      if (!use || canTake(use.handle(), batch, &n) != NTCAN_SUCCESS || n < 1) continue;
    }
    for (int i = 0; i < n; ++i) {
      const CMSG& m = batch[i];
      // The SDO multiplexer (index and subindex) ties a reply to its request.
      if (std::memcmp(&m.data[1], &request.data[1], 3) != 0) continue;
      *ident = m.id;
      *length = m.len;
      std::memcpy(Data, m.data, static_cast<size_t>(data_length(m)));
      record(can_ret_, 0);
      return 0;
    }
  }
  record(can_ret_, kNoReply);
  return kNoReply;
}

int D_can::can_fill() {
  vorbel::LoopLock lk;
  if (!rxmsg_) return -1;
  if (block_) vorbel::count_fill(*block_);
  *rxmsg_len_ = vorbel::kRxBufferFrames;
  const int ret = can_get(rxmsg_, rxmsg_len_);
  vorbel::store_word(can_ret_, ret);
  return ret;
}

int D_can::can_array(CMSG* rxmsg, int* length) {
  // Under the registry lock, so that the copy never meets a fill half-way.
  vorbel::LoopLock lk;
  if (!usable()) return -1;
  if (!rxmsg || !length) return NTCAN_INVALID_PARAMETER;
  if (!rxmsg_len_ || !rxmsg_) return -1;
  const int n = *rxmsg_len_;
  if (n >= 0) {
    const int copied = n < vorbel::kRxBufferFrames ? n : vorbel::kRxBufferFrames;
    std::memcpy(rxmsg, rxmsg_, sizeof(CMSG) * static_cast<size_t>(copied));
    *length = copied;
  } else {
    *length = 0;
  }
  // Which fill this is, so that supervise takes it once for master and followers.
  alive_->batch_fill_ = block_ ? block_->fills : 0;
  return vorbel::load_word(can_ret_);
}

int D_can::can_return() {
  vorbel::LoopLock lk;
  return can_ret_ ? vorbel::load_word(can_ret_) : 0;
}

namespace {
int send_rtr(const D_can& node, int ident, int len_byte) {
  CMSG m{};
  m.id = ident;
  m.len = static_cast<uint8_t>(len_byte);
  vorbel::HandleUse use(node);
  if (!use) return NTCAN_INVALID_HANDLE;
  int32_t count = 1;
  return canSend(use.handle(), &m, &count);
}
}  // namespace

int D_can::rtr(int* ident) {
  if (!ident) return NTCAN_INVALID_PARAMETER;
  return send_rtr(*this, *ident, kRtr);
}

int D_can::rtr(int* ident, int l) {
  if (!ident) return NTCAN_INVALID_PARAMETER;
  return send_rtr(*this, *ident, (l | kRtr) & 0xFF);
}

int D_can::rtr() {
  const int node_id = current_node_id();
  if (const int refused = check_node_id(node_id, 1, vorbel::kGuardingService, "D_can::rtr")) return refused;
  return send_rtr(*this, 0x700 + node_id, kRtr);
}

void D_can::can_print() {
  vorbel::LoopLock lk;
  const IIII* sel = canIdent_debug_ ? canIdent_debug_->value() : nullptr;
  if (!sel || sel->i1_data != canIdent_.i1_data || sel->i2_data != canIdent_.i2_data ||
      sel->i3_data != canIdent_.i3_data)
    return;
  if (!rxmsg_ || !rxmsg_len_) return;
  const int n = *rxmsg_len_;
  for (int i = 0; i < n && i < vorbel::kRxBufferFrames; ++i) {
    const CMSG& m = rxmsg_[i];
    if (m.id == 0) continue;
    char data[kMaxData * 3 + 1] = "";
    for (int k = 0; k < data_length(m); ++k) std::snprintf(data + 3 * k, 4, " %02X", m.data[k]);
    char line[200];
    std::snprintf(line, sizeof line, "ID: %X, Len: %d, Data:%s", static_cast<unsigned>(m.id), m.len, data);
    vorbel::log("can_print", line);
  }
}

int can_looping() {
  auto& list = vorbel::can_list();
  // The position is kept as an index and checked against the registry's
  // current size under the lock: between two nodes the registry may grow or
  // shrink, and no pointer into it survives an unlock.
  for (size_t i = 0;; ++i) {
    vorbel::LoopLock lk;
    if (i >= list.size()) break;
    D_can* node = list[i];
    node->can_fill();
    if (TELVO_debug & kPrintFramesBit) node->can_print();
    // The last node ends the pass without one more lock just to see the end.
    if (i + 1 >= list.size()) break;
  }
  return 0;
}
