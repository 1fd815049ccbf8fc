// SDO block transfers: the client side of block upload and block download,
// their CRC, and the progress reports and cancel checks that every transfer
// of the SDO client shares. The waiting, the matching of answers and the
// aborts are the transfer's own (sdo_transfer.cpp); this file builds the
// block frames and keeps the block's sequence.
//
// Block upload, frames to 0x600 + id (->) and from 0x580 + id (<-):
//   -> A0|cc<<2  index subindex  blksize pst      initiate (cc: CRC offered)
//   <- C0|sc<<2|s<<1  index subindex  size        (or 4x when size <= pst)
//   -> A3                                         start
//   <- c<<7|seq  7 bytes    seq 1..blksize; c on the value's last segment
//   -> A2 ackseq blksize                          after seq = blksize or c
//      ... blocks again, from segment ackseq + 1 (the whole block for 0)
//   <- C1|n<<2  crc                               n: bytes of the last
//   -> A1                                            segment without data
// Block download:
//   -> C2|cc<<2  index subindex  size
//   <- A0|sc<<2  index subindex  blksize
//   -> c<<7|seq  7 bytes    ... up to blksize segments
//   <- A2 ackseq blksize    the node's block size for the next block
//   -> C1|n<<2  crc
//   <- A1
#include <cstring>

#include "D_vorbel.h"
#include "line/handle_settings.h"
#include "sdo/sdo_transfer.h"
#include "services/framework_time.h"

namespace vorbel {

namespace {

constexpr int kMaxBlockSize = 127;
constexpr int kSegmentBytes = 7;
constexpr int kTxPauseUs = 100;            // a full transmit queue is retried after this
constexpr long long kProgressEveryMs = 100;
// Blocks in a row of which not one segment arrived in sequence before the
// transfer is given up as timed out: a node that keeps answering but never
// gets a block across would hold the client for ever.
constexpr int kStalledBlocks = 8;

// The CRC table of polynomial 0x1021, most significant bit first.
struct CrcTable {
  uint16_t entry[256];
  CrcTable() {
    for (int i = 0; i < 256; ++i) {
      uint16_t v = static_cast<uint16_t>(i << 8);
      for (int bit = 0; bit < 8; ++bit) v = static_cast<uint16_t>(v & 0x8000 ? (v << 1) ^ 0x1021 : v << 1);
      entry[i] = v;
    }
  }
};

int clamp(int v, int lo, int hi) { return v < lo ? lo : v > hi ? hi : v; }

}  // namespace

uint16_t sdo_crc16(const unsigned char* data, size_t len, uint16_t crc) {
  static const CrcTable table;
  for (size_t i = 0; i < len; ++i) crc = static_cast<uint16_t>(crc << 8 ^ table.entry[(crc >> 8 ^ data[i]) & 0xFF]);
  return crc;
}

// ---------------------------------------------------------------------------
// Progress and cancel, for every kind of transfer

int SdoTransfer::step_done(size_t done, bool final) {
  if (!options_) return 0;
  if (options_->progress) {
    const long long now = framework_time_ms();
    if (reported_ms_ < 0 && !final) {
      reported_ms_ = now;  // the first step starts the clock of the 100 ms
    } else {
      const bool percent = total_ > 0 && (done - reported_) * 100 >= total_;
      const bool late = now - reported_ms_ >= kProgressEveryMs && done != reported_;
      if (percent || late || (final && (done != reported_ || reported_ms_ < 0))) {
        reported_ = done;
        reported_ms_ = now;
        options_->progress(done, total_);
      }
    }
  }
  return !final && cancelled() ? give_up(kSdoAbortCancelled) : 0;
}

bool SdoTransfer::refused_block() {
  if (!node_aborted_ || abort_code_ != kSdoAbortCommandNotSupported || stage_ != Stage::InitiateAnswer) return false;
  node_aborted_ = false;
  abort_code_ = 0;
  return true;
}

int SdoTransfer::send_segment(const uint8_t* frame) {
  for (int64_t waited = 0;; waited += kTxPauseUs) {
    const int r = request(frame, Stage::SegmentRequest);
    if (r != NTCAN_TX_ERROR || waited >= timeout_us_) return r;
    TELVOsleep(0, kTxPauseUs);
  }
}

SdoTransfer::Verdict SdoTransfer::judge_block(Expect expect, const SdoAnswer& a) const {
  const uint8_t c = a.command;
  switch (expect) {
    case Expect::InitiateBlockUpload:
      if (!names_entry(a, index_, subindex_)) return Verdict::Drop;
      if ((c & 0xF0) == 0x40 && switch_threshold_ > 0)  // the node chose an unblocked upload
        return initiate_upload_whole(a) ? Verdict::Take : Verdict::Drop;
      if ((c & 0xE1) != 0xC0) return Verdict::Unexpected;
      return !(c & 0x02) || a.length == 8 ? Verdict::Take : Verdict::Drop;
    case Expect::BlockSegment: return a.length == 8 ? Verdict::Take : Verdict::Drop;
    case Expect::BlockUploadEnd:
      if ((c & 0xE3) != 0xC1) return Verdict::Unexpected;
      return a.length >= 3 ? Verdict::Take : Verdict::Drop;
    case Expect::InitiateBlockDownload:
      if (!names_entry(a, index_, subindex_)) return Verdict::Drop;
      if ((c & 0xE3) != 0xA0) return Verdict::Unexpected;
      return a.length >= 5 ? Verdict::Take : Verdict::Drop;
    case Expect::BlockAck:
      if ((c & 0xE3) != 0xA2) return Verdict::Unexpected;
      return a.length >= 3 ? Verdict::Take : Verdict::Drop;
    case Expect::BlockDownloadEnd: return (c & 0xE3) == 0xA1 ? Verdict::Take : Verdict::Unexpected;
    default: return Verdict::Drop;
  }
}

// ---------------------------------------------------------------------------
// Block upload

int SdoTransfer::block_upload(uint8_t* buffer, int size, int* len) {
  *len = 0;
  const int blksize = clamp(options_ ? options_->block_size : SdoBlockOptions{}.block_size, 1, kMaxBlockSize);
  const bool offer_crc = !options_ || options_->crc;
  switch_threshold_ = options_ ? clamp(options_->switch_threshold, 0, 255) : 0;
  uint8_t initiate[8];
  entry_frame(static_cast<uint8_t>(0xA0 | (offer_crc ? 0x04 : 0)), initiate);
  initiate[4] = static_cast<uint8_t>(blksize);
  initiate[5] = static_cast<uint8_t>(switch_threshold_);
  int r = request(initiate, Stage::InitiateRequest);
  if (r != 0) return r;
  SdoAnswer a;
  if ((r = await(Expect::InitiateBlockUpload, &a, Stage::InitiateAnswer)) != 0)
    return refused_block() ? upload(buffer, size, len) : r;
  if ((a.command & 0xF0) == 0x40) return upload_answered(a, buffer, size, len);

  const bool crc_on = offer_crc && (a.command & 0x04);
  const int64_t indicated = (a.command & 0x02) ? int64_t{le32(a.data + 4)} : -1;
  if (indicated > size) return give_up(kAbortOutOfMemory);
  if (indicated > 0) total_ = static_cast<size_t>(indicated);
  const uint8_t start[8] = {0xA3};
  if ((r = request(start, Stage::SegmentRequest)) != 0) return r;

  // The last segment taken in sequence waits in `pending` until the next
  // one (or the end's count of bytes without data) shows how much of it is
  // the value's.
  uint8_t pending[kSegmentBytes];
  bool have_pending = false;
  int stored = 0;
  uint16_t crc = 0;
  int ackseq = 0;
  bool last = false, bad_sequence = false, overflow = false;
  auto take = [&](const SdoAnswer& s) {
    const int seq = s.command & 0x7F;
    const bool c = s.command & 0x80;
    if (seq == 0 || seq > blksize) {
      bad_sequence = true;
      return false;
    }
    if (seq == ackseq + 1) {  // in sequence; a segment after a lost one waits for the repeat
      if (have_pending) {
        if (stored + kSegmentBytes > size) {
          overflow = true;
          return false;
        }
        std::memcpy(buffer + stored, pending, kSegmentBytes);
        crc = sdo_crc16(pending, kSegmentBytes, crc);
        stored += kSegmentBytes;
      }
      std::memcpy(pending, s.data + 1, kSegmentBytes);
      have_pending = true;
      ackseq = seq;
      last = c;
    }
    return seq != blksize && !c;  // the block goes on
  };
  const AnswerRun run(take);
  for (int stalled = 0;;) {
    ackseq = 0;
    if ((r = await(Expect::BlockSegment, &a, Stage::SegmentAnswer, &run)) != 0) return r;
    *len = stored;
    if (bad_sequence) return give_up(kSdoAbortSequence);
    if (overflow) return give_up(kAbortOutOfMemory);
    stalled = ackseq ? 0 : stalled + 1;
    if (stalled == kStalledBlocks) return give_up(kAbortTimeout);
    const uint8_t ack[8] = {0xA2, static_cast<uint8_t>(ackseq), static_cast<uint8_t>(blksize)};
    if ((r = request(ack, Stage::SegmentRequest)) != 0) return r;
    if (last) break;
    if ((r = step_done(static_cast<size_t>(stored))) != 0) return r;
  }

  if ((r = await(Expect::BlockUploadEnd, &a, Stage::SegmentAnswer)) != 0) return r;
  const int tail = kSegmentBytes - ((a.command >> 2) & 7);
  if (stored + tail > size) return give_up(kAbortOutOfMemory);
  std::memcpy(buffer + stored, pending, static_cast<size_t>(tail));
  crc = sdo_crc16(pending, static_cast<size_t>(tail), crc);
  stored += tail;
  *len = stored;
  if (indicated >= 0 && stored != indicated) return give_up(kAbortLength);
  if (crc_on && crc != (a.data[1] | a.data[2] << 8)) return give_up(kSdoAbortCrc);
  const uint8_t end[8] = {0xA1};
  if ((r = request(end, Stage::SegmentRequest)) != 0) return r;
  return step_done(static_cast<size_t>(stored), true);
}

// ---------------------------------------------------------------------------
// Block download

int SdoTransfer::block_download(const uint8_t* data, int len) {
  const bool offer_crc = !options_ || options_->crc;
  total_ = static_cast<size_t>(len);
  uint8_t initiate[8];
  entry_frame(static_cast<uint8_t>(0xC2 | (offer_crc ? 0x04 : 0)), initiate);  // size indicated
  for (int i = 0; i < 4; ++i) initiate[4 + i] = static_cast<uint8_t>(static_cast<uint32_t>(len) >> (8 * i));
  int r = request(initiate, Stage::InitiateRequest);
  if (r != 0) return r;
  SdoAnswer a;
  if ((r = await(Expect::InitiateBlockDownload, &a, Stage::InitiateAnswer)) != 0)
    return refused_block() ? download(data, len) : r;
  const bool crc_on = offer_crc && (a.command & 0x04);
  int blksize = a.data[4];

  // Each block starts behind the last segment the node acknowledged.
  for (int acked = 0, stalled = 0;;) {
    if (blksize < 1 || blksize > kMaxBlockSize) return give_up(kSdoAbortBlockSize);
    int seq = 0;
    for (int pos = acked; seq < blksize && pos < len;) {
      if (cancelled()) return give_up(kSdoAbortCancelled);
      const int n = len - pos < kSegmentBytes ? len - pos : kSegmentBytes;
      uint8_t segment[8] = {static_cast<uint8_t>((pos + n == len ? 0x80 : 0) | ++seq)};
      std::memcpy(segment + 1, data + pos, static_cast<size_t>(n));
      if ((r = send_segment(segment)) != 0) return r;
      pos += n;
    }
    if ((r = await(Expect::BlockAck, &a, Stage::SegmentAnswer)) != 0) return r;
    const int ackseq = a.data[1];
    if (ackseq > seq) return give_up(kSdoAbortSequence);
    stalled = ackseq ? 0 : stalled + 1;
    if (stalled == kStalledBlocks) return give_up(kAbortTimeout);
    acked += ackseq * kSegmentBytes < len - acked ? ackseq * kSegmentBytes : len - acked;
    blksize = a.data[2];
    if (acked == len) break;
    if ((r = step_done(static_cast<size_t>(acked))) != 0) return r;
  }

  const int tail = len - (len - 1) / kSegmentBytes * kSegmentBytes;  // 1..7 bytes in the last segment
  const uint16_t crc = crc_on ? sdo_crc16(data, static_cast<size_t>(len)) : 0;
  const uint8_t end[8] = {static_cast<uint8_t>(0xC1 | (kSegmentBytes - tail) << 2), static_cast<uint8_t>(crc & 0xFF),
                          static_cast<uint8_t>(crc >> 8)};
  if ((r = request(end, Stage::SegmentRequest)) != 0) return r;
  if ((r = await(Expect::BlockDownloadEnd, &a, Stage::SegmentAnswer)) != 0) return r;
  return step_done(static_cast<size_t>(len), true);
}

}  // namespace vorbel
