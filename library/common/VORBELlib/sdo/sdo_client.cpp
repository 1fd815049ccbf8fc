// SDO upload client: reading one entry of a node's object dictionary,
// expedited (up to 4 bytes in the response) or segmented (7 bytes per
// segment, each asked for with an alternating toggle bit).
#include <cstdio>
#include <cstring>

#include "D_vorbel.h"
#include "line/line_log.h"
#include "sdo/sdo_frames.h"
#include "services/node_id.h"

namespace {

constexpr int kCompleted = 0x12345678;  // a response step ended the transfer
constexpr int kBatch = 100;
constexpr long kWaitSeconds = 2;  // whole seconds: a wait ends after 2 to 3 s
constexpr int kIdentityBufferSize = 64;
// Segments allowed beyond what the buffer holds before a transfer that never
// ends is given up.
constexpr int kExtraSegments = 1024;

void log_error(const char* format, int code) {
  char text[200];
  std::snprintf(text, sizeof text, format, code);
  vorbel::log("segSdoRead", text);
}

}  // namespace

int D_can::can_SDO(u_short index, u_char subindex) {
  const int node_id = canIdent_.i2_data;
  if (const int refused = check_node_id(node_id, 1, vorbel::kSdoService, "D_can::can_SDO")) return refused;
  if (!pline_ || pline_->handle() <= 0 || canhandle_ < 0) return NTCAN_INVALID_HANDLE;
  // Initiate upload: command 0x40, the index low byte first, the subindex.
  unsigned char data[8] = {0x40, static_cast<unsigned char>(index & 0xFF), static_cast<unsigned char>(index >> 8),
                           subindex, 0, 0, 0, 0};
  return can_write(0x600 + node_id, 8, data);
}

int D_can::segSdoRead(short node, int idx, int subIdx, char* buffer) {
  return segSdoRead(node, idx, subIdx, buffer, kIdentityBufferSize);
}

int D_can::segSdoRead(short node, int idx, int subIdx, char* buffer, int size) {
  if (!buffer || size < 1) return NTCAN_INVALID_PARAMETER;
  if (const int refused = check_node_id(node, 1, vorbel::kSdoService, "segSdoRead")) return refused;
  sdo_capacity_ = size;
  int offset = 0;
  int r = initiateUpload(node, idx, subIdx);
  if (r != 0) {
    log_error("--Error: initiateUpload failed with error %d", r);
    return r;
  }
  r = initUploadResponse(node, buffer, &offset);
  if (r == kCompleted) return 0;
  if (r != 0) {
    log_error("--Error: initUploadResponse failed with error %d", r);
    return r;
  }
  const int max_segments = size / 7 + kExtraSegments;
  for (int segments = 0;; ++segments) {
    if (segments == max_segments) {
      log_error("--Error: segmented transfer still going after %d segments", segments);
      return -1;
    }
    r = requestUploadSegment(node);
    if (r != 0) {
      log_error("--Error: requestSegment failed with error %d", r);
      return r;
    }
    const int s = receiveUploadSegment(node, buffer, &offset);
    if (s == kCompleted) return 0;
    if (s != 0) return s;
  }
}

int D_can::initiateUpload(short node, int idx, int subIdx) {
  sdo_node_ = node;
  Index = idx;
  Subindex = subIdx;
  ToggleBit = 1;  // so that the first segment request carries toggle 0
  unsigned char data[8] = {0x40, static_cast<unsigned char>(idx & 0xFF), static_cast<unsigned char>((idx >> 8) & 0xFF),
                           static_cast<unsigned char>(subIdx & 0xFF), 0, 0, 0, 0};
  return can_write(node + 0x600, 8, data);
}

int D_can::requestUploadSegment(short) {
  unsigned char data[8] = {};
  if (ToggleBit != 0) {
    data[0] = 0x60;
    ToggleBit = 0;
  } else {
    data[0] = 0x70;
    ToggleBit = 1;
  }
  // To the node of the transfer, as the initiate request went.
  return can_write(0x600 + sdo_node_, 8, data);
}

int D_can::isAbort(CMSG* m, int* abortCode) {
  vorbel::SdoAnswer a;
  uint32_t code = 0;
  if (!vorbel::sdo_answer(*m, sdo_node_, &a) || !vorbel::sdo_abort(a, Index, Subindex, &code)) return 0;
  *abortCode = static_cast<int>(code);
  return 1;
}

// Take frames until the node's response to the current step arrives (frames
// of the node's handle that are not the response are consumed and dropped),
// an abort of the transfer is seen, or 2 to 3 s have passed. A frame counts
// only for the bytes it carries: one shorter than what it claims is dropped.
int D_can::await_response(short node, bool segment, char* buffer, int* offset) {
  int abort_code = 0;
  const long start = TELVOtime();
  CMSG batch[kBatch];
  for (;;) {
    int count = kBatch;
    const int status = can_get(batch, &count);
    if (status != 0) return status;
    for (int i = 0; i < count; ++i) {
      CMSG& m = batch[i];
      if (isAbort(&m, &abort_code)) {
        std::printf("Segmented transfer aborted with code 0x%X\n", static_cast<unsigned>(abort_code));
        std::fflush(stdout);
        return -1;
      }
      vorbel::SdoAnswer a;
      if (!vorbel::sdo_answer(m, node, &a)) continue;
      const uint8_t b0 = a.command;
      if (!segment) {
        // Initiate upload response for the entry asked for.
        if ((b0 & 0xF0) != 0x40 || !vorbel::names_entry(a, Index, Subindex)) continue;
        if (!(b0 & 0x02)) return 0;  // segmented transfer follows
        const int size = (b0 & 0x01) ? 4 - ((b0 >> 2) & 3) : a.length - 4;
        if (size < 1 || a.length < 4 + size) continue;
        // Values are stored up to, never into, the last byte of the buffer.
        const int stored = size < sdo_capacity_ - 1 ? size : sdo_capacity_ - 1;
        std::memcpy(buffer, &a.data[4], static_cast<size_t>(stored));
        buffer[stored] = '\0';
        *offset = stored;
        return kCompleted;
      }
      // Upload segment response.
      if (b0 > 0x1F) continue;
      const int n = 7 - ((b0 >> 1) & 7);
      if (a.length < 1 + n) continue;
      if ((b0 >> 4) != ToggleBit) {
        std::puts("--Error: bad toggle bit in segmented transfer sequence.");
        std::fflush(stdout);
        return -1;
      }
      const int room = sdo_capacity_ - 1 - *offset;
      const int stored = n < room ? n : (room > 0 ? room : 0);
      std::memcpy(buffer + *offset, &a.data[1], static_cast<size_t>(stored));
      *offset += stored;
      return (b0 & 0x01) ? kCompleted : 0;
    }
    if (TELVOtime() > start + kWaitSeconds) return -1;
  }
}

int D_can::initUploadResponse(short node, char* buffer, int* offset) {
  return await_response(node, false, buffer, offset);
}

int D_can::receiveUploadSegment(short node, char* buffer, int* offset) {
  return await_response(node, true, buffer, offset);
}
