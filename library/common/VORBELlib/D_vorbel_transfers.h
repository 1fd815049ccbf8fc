// libVORBEL: large SDO transfers and the objects that use them. Included by
// D_vorbel.h; device code includes D_vorbel.h.
//
//   - block upload and block download (D_can::sdo_block_upload and
//     D_can::sdo_block_download): up to 127 segments of 7 bytes per
//     acknowledgement, with a CRC over the whole value when both sides
//     support it; a node that does not serve block transfers gets the same
//     transfer as an expedited or segmented one;
//   - progress reports and a cancel token for those transfers;
//   - program download (the objects 0x1F50, 0x1F51, 0x1F56);
//   - store parameters (0x1010) and restore defaults (0x1011).
//
// Threads: every operation here runs on the caller's thread as the SDO
// client's transfers do (D_vorbel.h): any thread, one transfer per node at
// a time, the node's other frames kept for the server loop. An SdoCancel
// may be cancelled from any thread; the progress callback runs on the
// transferring thread.
#ifndef D_VORBEL_TRANSFERS_H
#define D_VORBEL_TRANSFERS_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>

class D_can;

namespace vorbel {

// Abort codes of block transfers, sent by either side (sdo_abort_code()).
constexpr uint32_t kSdoAbortCommandNotSupported = 0x05040001;  // also: an answer the step does not expect
constexpr uint32_t kSdoAbortBlockSize = 0x05040002;            // block size outside 1..127
constexpr uint32_t kSdoAbortSequence = 0x05040003;             // sequence number outside the block
constexpr uint32_t kSdoAbortCrc = 0x05040004;                  // the value's CRC does not match
// The client's abort when device code cancels a transfer (SdoCancel): data
// cannot be transferred because of local control.
constexpr uint32_t kSdoAbortCancelled = 0x08000021;

// Cancels a transfer from any thread. A transfer that was given the token
// looks at it before each frame it sends and after each batch of frames it
// takes; once cancelled, it sends the node the abort kSdoAbortCancelled and
// returns -1. A wait that blocks in the driver's read notices it when the
// read returns (a frame, or the handle's receive time-out of 1 s). A token
// stays cancelled until reset(); one token may serve several transfers.
class SdoCancel {
 public:
  void cancel() { cancelled_.store(true); }
  bool cancelled() const { return cancelled_.load(); }
  void reset() { cancelled_.store(false); }

 private:
  std::atomic<bool> cancelled_{false};
};

// Progress of a transfer: bytes done of the total (0 when an upload's node
// did not indicate its size). Called on the transferring thread, after a
// block (or, for an expedited or segmented transfer, a segment) is
// acknowledged, at most once per 1 % of the total or 100 ms of framework
// time, and once more when the transfer has all its bytes. It must not
// start another transfer of the same node.
using SdoProgress = std::function<void(size_t done, size_t total)>;

struct SdoBlockOptions {
  // Segments per block that an upload asks the node for, 1..127 (others are
  // taken as the nearest). 64 by default: half the handle's receive queue
  // of 100 frames, so that a block that arrives while the thread is busy
  // elsewhere still fits beside the node's other frames. A download sends
  // the blocks the node asks for.
  int block_size = 64;
  // Offer the CRC (CRC-16, polynomial 0x1021, initial value 0). It is used
  // when the node supports it too: a download sends it for the node to
  // check, an upload checks the node's (kSdoAbortCrc on a mismatch).
  bool crc = true;
  // Upload: a value of at most this many bytes may come by an expedited or
  // segmented transfer instead, at the node's choice (0..255; 0: always by
  // block).
  int switch_threshold = 0;
  SdoProgress progress;
  SdoCancel* cancel = nullptr;
};

// CRC-16 of block transfers over `len` bytes, continuing from `crc`:
// polynomial x^16 + x^12 + x^5 + 1, not reflected, no final XOR, 0 for
// the first call.
uint16_t sdo_crc16(const unsigned char* data, size_t len, uint16_t crc = 0);

// ---------------------------------------------------------------------------
// Program download to a node that keeps programs in its object dictionary
// (program number `program`, 1..127, the subindex of the objects):
//   1. 0x1F51 program control := 0 (stop the program),
//   2. 0x1F51 := 3 (clear the program),
//   3. the image to 0x1F50 program data by block download (with `options`:
//      progress, cancel, CRC),
//   4. 0x1F51 := 1 (start the program),
//   5. 0x1F56 program software identification read back into
//      *identification (4 bytes, little-endian; may be null).
// Stops at the first step that fails and returns its result as the SDO
// client's operations do (0; -1 with node.sdo_abort_code() telling the
// abort; 77; 22 for bad arguments (no image, len < 1, program outside
// 1..127) or a node id outside 1..127; the driver's status); a failure is
// logged under "vorbel::program_download" with its step. *step (may be
// null) is the number of the step that failed, 0 after success.
int program_download(D_can& node, int program, const unsigned char* image, int len, uint32_t* identification,
                     const SdoBlockOptions& options = {}, int* step = nullptr);

// Store parameters: writes the signature "save" (0x65766173) to 0x1010
// subindex `group`: 1 all parameters, 2 communication (0x1000..0x1FFF),
// 3 application (0x6000..0x9FFF), 4..127 manufacturer-defined groups. The
// node keeps them through a reset and a power cycle.
// Restore defaults: writes "load" (0x64616F6C) to 0x1011 subindex `group`,
// the same groups; the node's defaults apply from its next reset.
// Results as sdo_download's; 22 for a group outside 1..127.
int store_parameters(D_can& node, int group = 1);
int restore_defaults(D_can& node, int group = 1);

}  // namespace vorbel

#endif  // D_VORBEL_TRANSFERS_H
