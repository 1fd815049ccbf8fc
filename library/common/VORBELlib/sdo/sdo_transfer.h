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
  // Block transfers (sdo_block.cpp), with upload's buffer rules. A node
  // that answers the block request with abort 0x05040001 gets the transfer
  // again as upload() or download().
  int block_upload(uint8_t* buffer, int size, int* len);
  int block_download(const uint8_t* data, int len);
  // Progress reports, cancel token and block settings for the transfers
  // that follow; `options` must outlive them.
  void watch(const SdoBlockOptions* options) { options_ = options; }

  // The code of the abort that ended the transfer, sent or received; 0 when
  // none did.
  uint32_t abort_code() const { return abort_code_; }
  Stage stage() const { return stage_; }
  // The segments an upload of a `size`-byte buffer may take.
  static int segment_limit(int size);

 private:
  enum class Expect {
    InitiateUpload,
    UploadSegment,
    InitiateDownload,
    DownloadSegment,
    InitiateBlockUpload,
    BlockSegment,
    BlockUploadEnd,
    InitiateBlockDownload,
    BlockAck,
    BlockDownloadEnd,
  };
  enum class Verdict { Drop, Take, Aborted, WrongToggle, Unexpected };

  // An 8-byte frame with `command` and the entry (index low byte first,
  // subindex), the other bytes 0.
  void entry_frame(uint8_t command, uint8_t* frame) const;
  // Send one request frame (8 bytes) to the node.
  int request(const uint8_t* frame, Stage stage);
  // A run of answers one wait hands on (the segments of a block upload):
  // called for each, it says whether the step wants more.
  class AnswerRun {
   public:
    template <class F>
    explicit AnswerRun(F& f)
        : target_(&f), call_([](void* t, const SdoAnswer& a) { return (*static_cast<F*>(t))(a); }) {}
    bool operator()(const SdoAnswer& a) const { return call_(target_, a); }

   private:
    void* target_;
    bool (*call_)(void*, const SdoAnswer&);
  };
  // Wait for the answer of the current step; with `run`, for answers until
  // run says the step has what it wants (the frames between them are kept
  // for the node's fills, in order).
  int await(Expect expect, SdoAnswer* answer, Stage stage, const AnswerRun* run = nullptr);
  Verdict judge(const CMSG& m, Expect expect, SdoAnswer* answer, uint32_t* code) const;
  Verdict judge_block(Expect expect, const SdoAnswer& a) const;
  // Upload after the initiate answer `a` (segmented or expedited).
  int upload_answered(const SdoAnswer& a, uint8_t* buffer, int size, int* len);
  // `done` bytes are through: a progress report when one is due (always
  // for the `final` step); -1, the abort sent, when the transfer is
  // cancelled and more steps would follow; else 0.
  int step_done(size_t done, bool final = false);
  // The node refused the block request with "command not supported":
  // clears the abort, for the transfer to run again unblocked.
  bool refused_block();
  bool cancelled() const { return options_ && options_->cancel && options_->cancel->cancelled(); }
  // Send a block segment, waiting out a full transmit queue.
  int send_segment(const uint8_t* frame);
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
  bool node_aborted_ = false;  // the abort came from the node
  Stage stage_ = Stage::InitiateRequest;
  const SdoBlockOptions* options_ = nullptr;
  int switch_threshold_ = 0;      // block upload: the node may answer unblocked
  size_t total_ = 0;              // bytes of the value, 0 unknown (progress)
  size_t reported_ = 0;           // done at the last progress report
  long long reported_ms_ = -1;    // framework time of that report
  CMSG batch_[100];
};

}  // namespace vorbel

#endif  // VORBEL_SDO_TRANSFER_H
