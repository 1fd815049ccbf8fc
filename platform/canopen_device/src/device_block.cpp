// The simulated node's SDO block transfers: block upload and block download
// with their CRC, and the block faults for tests of clients.
#include <algorithm>

#include "canopen_device.h"
#include "device_bytes.h"

namespace canopen_sim {

using wire::kCsAbort;

namespace {

constexpr int kCsBlockUpload = 5;    // client command specifier, upper three bits
constexpr int kCsBlockDownload = 6;
constexpr int kMaxBlock = 127;
constexpr std::size_t kSegment = 7;

}  // namespace

uint16_t Device::block_crc(const std::string& bytes) {
  uint16_t crc = 0;
  for (const char ch : bytes) {
    crc ^= static_cast<uint16_t>(static_cast<uint8_t>(ch) << 8);
    for (int bit = 0; bit < 8; ++bit) crc = static_cast<uint16_t>(crc & 0x8000 ? crc << 1 ^ 0x1021 : crc << 1);
  }
  return crc;
}

CMSG Device::sdo_frame(uint8_t command, uint16_t index, uint8_t subindex) const {
  CMSG m = abort_frame(index, subindex, 0);
  m.data[0] = command;
  return m;
}

bool Device::block_answer_locked(const CMSG& request, std::vector<CMSG>& out) {
  using Phase = Block::Phase;
  Block& b = block_;
  const uint8_t c = request.data[0];
  if (b.phase == Phase::Download) {
    // Every frame of a block download is a segment, but the client's abort.
    if ((c >> 5) == kCsAbort && (c & 0x7F) == 0) {
      b = Block{};
      return true;
    }
    block_download_segment_locked(request, out);
    return true;
  }
  const int cs = c >> 5;
  if (cs != kCsBlockUpload && cs != kCsBlockDownload) {
    b = Block{};  // an abort or another request ends a block transfer
    return false;
  }
  const uint16_t index = static_cast<uint16_t>(request.data[1] | (request.data[2] << 8));
  const uint8_t subindex = request.data[3];
  const bool initiate = cs == kCsBlockUpload ? (c & 0x03) == 0 : (c & 0x01) == 0;
  if (initiate) {
    transfer_ = Transfer{};
    b = Block{};
    if (block_fault_ == BlockFault::Refuse) {
      out.push_back(abort_frame(index, subindex, kAbortUnknownCommand));
      return true;
    }
    uint32_t code = 0;
    const Entry* entry = entry_locked(index, subindex, &code);
    if (!entry) code = code ? code : kAbortNoSuchObject;
    else if (cs == kCsBlockDownload && entry->access == Access::ReadOnly) code = kAbortReadOnly;
    else if (cs == kCsBlockUpload && entry->access == Access::WriteOnly) code = kAbortWriteOnly;
    if (code) {
      out.push_back(abort_frame(index, subindex, code));
      return true;
    }
    b.index = index;
    b.subindex = subindex;
    b.crc = block_crc_ && (c & 0x04);
    const uint8_t sc = block_crc_ ? 0x04 : 0;
    if (cs == kCsBlockDownload) {
      b.phase = Phase::Download;
      b.blksize = block_size_;
      if (c & 0x02) b.size = wire::le_u32(request.data + 4, 4);
      CMSG m = sdo_frame(static_cast<uint8_t>(0xA0 | sc), index, subindex);
      m.data[4] = static_cast<uint8_t>(block_size_);
      out.push_back(m);
      return true;
    }
    const int blksize = request.data[4];
    const std::size_t threshold = request.data[5];
    if (blksize < 1 || blksize > kMaxBlock) {
      b = Block{};
      out.push_back(abort_frame(index, subindex, kAbortBlockSize));
      return true;
    }
    if (threshold > 0 && entry->bytes.size() <= threshold) {
      // Small enough: answered as the initiate of an unblocked upload.
      b = Block{};
      CMSG unblocked = request;
      unblocked.data[0] = 0x40;
      if (std::optional<CMSG> m = sdo_answer_locked(unblocked)) out.push_back(*m);
      return true;
    }
    b.phase = Phase::UploadStart;
    b.blksize = blksize;
    b.data = entry->bytes;
    CMSG m = sdo_frame(static_cast<uint8_t>(0xC2 | sc), index, subindex);
    const auto size = static_cast<uint32_t>(b.data.size());
    for (int i = 0; i < 4; ++i) m.data[4 + i] = static_cast<uint8_t>(size >> (8 * i));
    out.push_back(m);
    return true;
  }

  // The steps after the initiate, each in its phase.
  const int step = cs == kCsBlockUpload ? (c & 0x03) : -1;
  if (step == 3 && b.phase == Phase::UploadStart) {
    block_upload_frames_locked(out);
  } else if (step == 2 && b.phase == Phase::UploadAck) {
    const int ackseq = request.data[1];
    const int blksize = request.data[2];
    if (ackseq > b.segments) {
      out.push_back(abort_frame(b.index, b.subindex, kAbortSequence));
      b = Block{};
    } else if (b.has_last && ackseq == b.segments) {
      // All acknowledged: the end, n = bytes of the last segment without data.
      const std::size_t size = b.data.size();
      const std::size_t tail = size == 0 ? 0 : size - (size - 1) / kSegment * kSegment;
      uint16_t crc = b.crc ? block_crc(b.data) : 0;
      if (b.crc && block_fault_ == BlockFault::CorruptCrc) crc ^= 0xFFFF;
      CMSG m = sdo_frame(static_cast<uint8_t>(0xC1 | (kSegment - tail) << 2), 0, 0);
      m.data[1] = static_cast<uint8_t>(crc & 0xFF);
      m.data[2] = static_cast<uint8_t>(crc >> 8);
      out.push_back(m);
      b.phase = Phase::UploadEnd;
    } else if (blksize < 1 || blksize > kMaxBlock) {
      out.push_back(abort_frame(b.index, b.subindex, kAbortBlockSize));
      b = Block{};
    } else {
      b.sent = std::min(b.data.size(), b.sent + static_cast<std::size_t>(ackseq) * kSegment);
      b.blksize = blksize;
      block_upload_frames_locked(out);
    }
  } else if (step == 1 && b.phase == Phase::UploadEnd) {
    b = Block{};  // the client's end: done, no answer
  } else if (cs == kCsBlockDownload && b.phase == Phase::DownloadEnd) {
    out.push_back(block_download_end_locked(request));
  } else {
    out.push_back(abort_frame(b.index, b.subindex, kAbortUnknownCommand));
    b = Block{};
  }
  return true;
}

void Device::block_upload_frames_locked(std::vector<CMSG>& out) {
  Block& b = block_;
  b.phase = Block::Phase::UploadAck;
  b.segments = 0;
  b.has_last = false;
  for (std::size_t pos = b.sent; b.segments < b.blksize && !b.has_last;) {
    const std::size_t n = std::min(kSegment, b.data.size() - pos);
    b.has_last = pos + n == b.data.size();
    CMSG m = sdo_frame(static_cast<uint8_t>((b.has_last ? 0x80 : 0) | ++b.segments), 0, 0);
    std::fill_n(m.data + 1, 7, 0);
    std::copy_n(b.data.begin() + static_cast<std::ptrdiff_t>(pos), n, m.data + 1);
    pos += n;
    // The block's last segment is never the one lost: the client sees the
    // block end and asks for the rest again.
    if (block_fault_ == BlockFault::DropSegment && !b.dropped && b.segments == 2 && !b.has_last &&
        b.segments < b.blksize) {
      b.dropped = true;
      continue;
    }
    out.push_back(m);
  }
}

void Device::block_download_segment_locked(const CMSG& request, std::vector<CMSG>& out) {
  Block& b = block_;
  const int seq = request.data[0] & 0x7F;
  const bool last = request.data[0] & 0x80;
  if (seq == 0 || seq > b.blksize) {
    out.push_back(abort_frame(b.index, b.subindex, kAbortSequence));
    b = Block{};
    return;
  }
  if (block_fault_ == BlockFault::DropSegment && !b.dropped && seq == 2) {
    b.dropped = true;  // never arrived
  } else if (seq == b.seq + 1) {
    b.data.append(request.data + 1, request.data + 8);
    b.seq = seq;
    b.last = last;
  }
  if (seq != b.blksize && !last) return;
  CMSG ack = sdo_frame(0xA2, 0, 0);
  ack.data[1] = static_cast<uint8_t>(b.seq);
  ack.data[2] = static_cast<uint8_t>(block_size_);
  out.push_back(ack);
  b.phase = b.last ? Block::Phase::DownloadEnd : Block::Phase::Download;
  b.blksize = block_size_;
  b.seq = 0;
}

CMSG Device::block_download_end_locked(const CMSG& request) {
  Block b = std::exchange(block_, Block{});
  const std::size_t empty = (request.data[0] >> 2) & 7;
  b.data.resize(b.data.size() >= empty ? b.data.size() - empty : 0);
  uint16_t crc = block_crc(b.data);
  if (block_fault_ == BlockFault::CorruptCrc) crc ^= 0xFFFF;
  uint32_t code = 0;
  if ((request.data[0] & 0x03) != 0x01) {
    code = kAbortUnknownCommand;
  } else if (b.size >= 0 && b.data.size() != static_cast<std::size_t>(b.size)) {
    code = kAbortLengthMismatch;
  } else if (b.crc && crc != (request.data[1] | request.data[2] << 8)) {
    code = kAbortCrc;
  } else if (Entry* entry = entry_locked(b.index, b.subindex, &code)) {
    code = write_locked(b.index, b.subindex, *entry, std::move(b.data));
  }
  return code ? abort_frame(b.index, b.subindex, code) : sdo_frame(0xA1, 0, 0);
}

// ---------------------------------------------------------------------------
// Settings

void Device::set_block_size(int segments) {
  std::lock_guard<std::mutex> lock(mu_);
  block_size_ = std::clamp(segments, 1, kMaxBlock);
}

void Device::set_block_crc(bool on) {
  std::lock_guard<std::mutex> lock(mu_);
  block_crc_ = on;
}

void Device::set_block_fault(BlockFault fault) {
  std::lock_guard<std::mutex> lock(mu_);
  block_fault_ = fault;
}

}  // namespace canopen_sim
