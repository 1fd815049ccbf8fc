// The SDO client of a node: uploads and downloads of the node's object
// dictionary entries, segSdoRead and can_SDO. The transfers themselves are
// sdo_transfer.cpp's.
#include <cstdio>

#include "D_vorbel.h"
#include "line/line_log.h"
#include "node/node_registry.h"
#include "sdo/sdo_transfer.h"
#include "services/node_id.h"

namespace {

constexpr int kIdentityBufferSize = 64;

void log_error(const char* format, int code) {
  char text[200];
  std::snprintf(text, sizeof text, format, code);
  vorbel::log("segSdoRead", text);
}

bool valid_entry(int index, int subindex) { return index >= 0 && index <= 0xFFFF && subindex >= 0 && subindex <= 0xFF; }

}  // namespace

int D_can::can_SDO(u_short index, u_char subindex) {
  const int node_id = current_node_id();
  if (const int refused = check_node_id(node_id, 1, vorbel::kSdoService, "D_can::can_SDO")) return refused;
  if (handle() < 0) return NTCAN_INVALID_HANDLE;
  // Initiate upload: command 0x40, the index low byte first, the subindex.
  unsigned char data[8] = {0x40, static_cast<unsigned char>(index & 0xFF), static_cast<unsigned char>(index >> 8),
                           subindex, 0, 0, 0, 0};
  return can_write(0x600 + node_id, 8, data);
}

// Every transfer of the client: the node id checked, the node's turn taken,
// the transfer run, its abort code kept for sdo_abort_code().
template <class Run>
int D_can::sdo_transfer(int node_id, int index, int subindex, bool legacy, const char* origin, Run run) {
  if (const int refused = check_node_id(node_id, 1, vorbel::kSdoService, origin)) return refused;
  vorbel::SdoTurn turn(current_line(), node_id);
  if (!turn) {
    sdo_abort_code_.store(0, std::memory_order_relaxed);
    return -1;
  }
  vorbel::FrameTaker taker(*this);
  // One entry into the handle for the whole transfer, not one per frame.
  vorbel::OpeningHold hold(usable_ref());
  vorbel::SdoTransfer t(*this, taker, node_id, index, subindex, sdo_timeout_ms_.load(std::memory_order_relaxed), legacy);
  const int r = run(t);
  sdo_abort_code_.store(t.abort_code(), std::memory_order_relaxed);
  return r;
}

int D_can::sdo_upload(int index, int subindex, unsigned char* buffer, int size, int* len) {
  if (len) *len = 0;
  if (!buffer || size < 1 || !len || !valid_entry(index, subindex)) return NTCAN_INVALID_PARAMETER;
  return sdo_transfer(current_node_id(), index, subindex, false, "D_can::sdo_upload",
                      [&](vorbel::SdoTransfer& t) { return t.upload(buffer, size, len); });
}

int D_can::sdo_download(int index, int subindex, const unsigned char* data, int len) {
  if (!data || len < 1 || !valid_entry(index, subindex)) return NTCAN_INVALID_PARAMETER;
  return sdo_transfer(current_node_id(), index, subindex, false, "D_can::sdo_download",
                      [&](vorbel::SdoTransfer& t) { return t.download(data, len); });
}

int D_can::sdo_block_upload(int index, int subindex, unsigned char* buffer, int size, int* len,
                            const vorbel::SdoBlockOptions& options) {
  if (len) *len = 0;
  if (!buffer || size < 1 || !len || !valid_entry(index, subindex)) return NTCAN_INVALID_PARAMETER;
  return sdo_transfer(current_node_id(), index, subindex, false, "D_can::sdo_block_upload",
                      [&](vorbel::SdoTransfer& t) {
                        t.watch(&options);
                        return t.block_upload(buffer, size, len);
                      });
}

int D_can::sdo_block_download(int index, int subindex, const unsigned char* data, int len,
                              const vorbel::SdoBlockOptions& options) {
  if (!data || len < 1 || !valid_entry(index, subindex)) return NTCAN_INVALID_PARAMETER;
  return sdo_transfer(current_node_id(), index, subindex, false, "D_can::sdo_block_download",
                      [&](vorbel::SdoTransfer& t) {
                        t.watch(&options);
                        return t.block_download(data, len);
                      });
}

uint32_t D_can::sdo_abort_code() const { return sdo_abort_code_.load(); }

void D_can::sdo_timeout_ms(int ms) { sdo_timeout_ms_ = ms > 0 ? ms : kDefaultSdoTimeoutMs; }

int D_can::segSdoRead(short node, int idx, int subIdx, char* buffer) {
  return segSdoRead(node, idx, subIdx, buffer, kIdentityBufferSize);
}

int D_can::segSdoRead(short node, int idx, int subIdx, char* buffer, int size) {
  if (!buffer || size < 1) return NTCAN_INVALID_PARAMETER;
  using Stage = vorbel::SdoTransfer::Stage;
  return sdo_transfer(node, idx, subIdx, true, "segSdoRead", [&](vorbel::SdoTransfer& t) {
    int len = 0;
    const int r = t.upload(reinterpret_cast<uint8_t*>(buffer), size, &len);
    if (r == 0) return r;
    switch (t.stage()) {
      case Stage::InitiateRequest: log_error("--Error: initiateUpload failed with error %d", r); break;
      case Stage::InitiateAnswer: log_error("--Error: initUploadResponse failed with error %d", r); break;
      case Stage::SegmentRequest: log_error("--Error: requestSegment failed with error %d", r); break;
      case Stage::SegmentLimit:
        log_error("--Error: segmented transfer still going after %d segments", vorbel::SdoTransfer::segment_limit(size));
        break;
      case Stage::SegmentAnswer: break;
    }
    return r;
  });
}
