// The SDO client's transfer: one upload or download between a node's handle
// and a node's SDO server, as a small state machine. Upload and download
// share the waiting, the matching of answers and the handling of aborts;
// only the frames they build differ. Internal to the library.
#ifndef VORBEL_SDO_TRANSFER_H
#define VORBEL_SDO_TRANSFER_H

#include <cstdint>

#include "D_vorbel.h"
#include "node/node_registry.h"
#include "sdo/sdo_frames.h"

namespace vorbel {

// Abort codes the client sends when it gives up a transfer.
constexpr uint32_t kAbortToggle = 0x05030000;          // toggle bit not alternated
constexpr uint32_t kAbortTimeout = 0x05040000;         // no answer in time
constexpr uint32_t kAbortUnknownCommand = 0x05040001;  // an answer the step does not expect
constexpr uint32_t kAbortOutOfMemory = 0x05040005;     // the value does not fit the caller's buffer
constexpr uint32_t kAbortLength = 0x06070010;          // more bytes than the node indicated

// One SDO transfer at a time per node of a line: a transfer waits for the
// one in progress to end. Refused (false) instead of waiting where the wait
// could never end: on the thread that runs the node's transfer (a device
// class's receive call that starts another).
class SdoTurn {
 public:
  SdoTurn(int line, int node_id);
  ~SdoTurn();
  SdoTurn(const SdoTurn&) = delete;
  SdoTurn& operator=(const SdoTurn&) = delete;
  explicit operator bool() const { return held_; }

 private:
  int slot_;
  bool held_ = false;
};

class SdoTransfer {
 public:
  // Where a failed transfer stopped (segSdoRead names it in its messages).
  enum class Stage { InitiateRequest, InitiateAnswer, SegmentRequest, SegmentAnswer, SegmentLimit };

  // A transfer of entry (index, subindex) of node `node_id`, through
  // `node`'s virtual frame operations, each wait for an answer lasting at
  // most timeout_ms. `legacy`: segSdoRead's rules (below). The frames it
  // takes and does not use go to `taker`, for the node's fills.
  SdoTransfer(D_can& node, FrameTaker& taker, int node_id, int index, int subindex, int timeout_ms, bool legacy);

  // Upload into buffer[0..size). *len: the bytes stored. A value longer than
  // `size` fails (its first `size` bytes stored), so does a segmented value
  // other than the size it indicated. Legacy: at most size - 1 bytes are
  // stored, a longer value is cut and read to its end, an expedited value is
  // followed by a NUL, answers the step does not expect are passed over
  // (kept for the node's fills, as every frame that is not the answer).
  int upload(uint8_t* buffer, int size, int* len);
  // Download len > 0 bytes: expedited up to 4, segmented above.
  int download(const uint8_t* data, int len);

  // The code of the abort that ended the transfer, sent or received; 0 when
  // none did.
  uint32_t abort_code() const { return abort_code_; }
  Stage stage() const { return stage_; }
  // The segments an upload of a `size`-byte buffer may take.
  static int segment_limit(int size);

 private:
  enum class Expect { InitiateUpload, UploadSegment, InitiateDownload, DownloadSegment };
  enum class Verdict { Drop, Take, Aborted, WrongToggle, Unexpected };

  // An 8-byte frame with `command` and the entry (index low byte first,
  // subindex), the other bytes 0.
  void entry_frame(uint8_t command, uint8_t* frame) const;
  // Send one request frame (8 bytes) to the node.
  int request(const uint8_t* frame, Stage stage);
  // Wait for the answer of the current step.
  int await(Expect expect, SdoAnswer* answer, Stage stage);
  Verdict judge(const CMSG& m, Expect expect, SdoAnswer* answer, uint32_t* code) const;
  // Give the transfer up: the abort request to the node, -1.
  int give_up(uint32_t code);
  // A failure that needs no abort frame: the node has ended the transfer.
  int fail() { return -1; }

  D_can& node_;
  FrameTaker& taker_;
  const int node_id_;
  const int index_;
  const int subindex_;
  const int64_t timeout_us_;
  const bool legacy_;
  int toggle_ = 0;  // toggle of the next segment and of its answer
  uint32_t abort_code_ = 0;
  Stage stage_ = Stage::InitiateRequest;
  CMSG batch_[100];
};

}  // namespace vorbel

#endif  // VORBEL_SDO_TRANSFER_H
