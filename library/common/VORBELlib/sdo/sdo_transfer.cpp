// The SDO client's transfer state machine, its waits for answers and the
// turn of transfers per node.
#include "sdo/sdo_transfer.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "line/handle_settings.h"
#include "node/node_registry.h"
#include "services/framework_time.h"

namespace vorbel {

namespace {

constexpr int kBatch = 100;
constexpr int kTimedOut = 1;  // FrameWait::next: the wait's time is up
// Segments allowed beyond what the buffer holds before a transfer that never
// ends is given up.
constexpr int kExtraSegments = 1024;

constexpr int64_t kReadTimeoutUs = int64_t{kRxTimeoutMs} * 1000;
constexpr int64_t kMinStepUs = 50;
constexpr int64_t kMaxStepUs = 10000;
constexpr int64_t kStepShare = 8;  // a pause is an eighth of the time waited so far

// Frames for one wait for an answer, taken through the node's virtual
// receive calls (so that a device class's overrides apply), without
// spinning:
//
//   - whatever is waiting is taken at once with can_get;
//   - when nothing is there and at least the handle's receive time-out
//     (1 s) of the wait remains, the wait blocks in can_read: the driver
//     wakes it the moment a frame arrives, so an answer costs no more than
//     its arrival;
//   - below that, the driver's read could outlast the wait, so the thread
//     sleeps on the framework clock (TELVOsleep) between takes: 50 us at
//     first, then an eighth of the time waited so far, at most 10 ms, and
//     never beyond the end of the wait. An answer that arrives then is taken
//     within 1/8 of the time already waited; a wait on a silent node wakes
//     at most 100 times a second once it has waited 80 ms.
//
// The time waited is the framework clock's in milliseconds (see
// framework_time.h), but never less than the sleeps it made and the
// driver's receive time-out for each read that came back empty: under a
// manual framework clock, which the driver's reads do not move, the wait
// still ends, and a wait that never reads (any wait shorter than 1 s, the
// last second of a longer one) ends exactly at its time-out. A wait that
// takes frames without ever pausing (a device class whose receive calls
// never run dry) ends by the clock.
class FrameWait {
 public:
  FrameWait(D_can& node, int64_t timeout_us) : node_(node), budget_us_(timeout_us) {}

  // 0 with *count > 0 frames in batch, kTimedOut, or the status of a failed
  // take.
  int next(CMSG* batch, int* count) {
    // The clock is read from the second batch on: an answer in the first
    // costs no clock read.
    if (batches_++ > 0 && waited_us() >= budget_us_) return kTimedOut;
    for (;;) {
      *count = kBatch;
      int r = node_.can_get(batch, count);
      if (r != NTCAN_SUCCESS || *count > 0) return r;
      const int64_t waited = waited_us();
      const int64_t left = budget_us_ - waited;
      if (left <= 0) return kTimedOut;
      if (left >= kReadTimeoutUs) {
        *count = kBatch;
        r = node_.can_read(batch, count);
        if (r == NTCAN_SUCCESS && *count > 0) return r;
        if (r != NTCAN_SUCCESS && r != NTCAN_RX_TIMEOUT) return r;
        floor_us_ = waited + kReadTimeoutUs;
      } else {
        int64_t step = waited / kStepShare;
        step = step < kMinStepUs ? kMinStepUs : step > kMaxStepUs ? kMaxStepUs : step;
        if (step > left) step = left;
        TELVOsleep(0, static_cast<int>(step));
        floor_us_ = waited + step;
      }
    }
  }

 private:
  // Time waited so far: by the framework clock (from the first look at it;
  // whole milliseconds, so one less: never more than has passed), at least
  // the floor.
  int64_t waited_us() {
    const long long now = framework_time_ms();
    if (start_ms_ < 0) start_ms_ = now;
    const int64_t by_clock = (now - start_ms_ - 1) * 1000;
    return by_clock > floor_us_ ? by_clock : floor_us_;
  }

  D_can& node_;
  const int64_t budget_us_;
  int64_t floor_us_ = 0;  // the sleeps and empty reads so far
  int batches_ = 0;
  long long start_ms_ = -1;
};

void put_le32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// The owners of the turns: a slot per line (0 for a node without one) and
// node id.
constexpr int kLines = 21;
constexpr int kNodeIds = 128;

// Taking a free turn is one atomic exchange and giving it back a store;
// threads that wait for a turn count themselves, so that a turn given back
// wakes them only when there are any.
struct Turns {
  std::atomic<std::thread::id> owner[kLines * kNodeIds];
  std::atomic<int> waiting{0};
  std::mutex mx;
  std::condition_variable cv;
};
static_assert(std::atomic<std::thread::id>::is_always_lock_free, "a turn is taken by one atomic step");

Turns& turns() {
  static auto* t = new Turns;  // never released: transfers may run until the process ends
  return *t;
}

bool take_turn(std::atomic<std::thread::id>& owner, std::thread::id me) {
  std::thread::id free;
  return owner.compare_exchange_strong(free, me, std::memory_order_acquire, std::memory_order_relaxed);
}

}  // namespace

// ---------------------------------------------------------------------------
// Turns

SdoTurn::SdoTurn(int line, int node_id)
    : slot_((line >= 1 && line < kLines ? line : 0) * kNodeIds + (node_id >= 0 && node_id < kNodeIds ? node_id : 0)) {
  Turns& t = turns();
  std::atomic<std::thread::id>& owner = t.owner[slot_];
  const auto me = std::this_thread::get_id();
  if (!take_turn(owner, me)) {
    if (owner.load(std::memory_order_relaxed) == me) return;  // this thread's transfer is in progress
    std::unique_lock<std::mutex> lk(t.mx);
    ++t.waiting;
    // The turn's release (a plain store) may pass the waiter's count by: a
    // waiter looks again every millisecond whatever it was told.
    while (!take_turn(owner, me)) t.cv.wait_for(lk, std::chrono::milliseconds(1));
    --t.waiting;
  }
  held_ = true;
}

SdoTurn::~SdoTurn() {
  if (!held_) return;
  Turns& t = turns();
  t.owner[slot_].store(std::thread::id(), std::memory_order_release);
  if (t.waiting.load(std::memory_order_relaxed) > 0) t.cv.notify_all();
}

// ---------------------------------------------------------------------------
// Transfers

SdoTransfer::SdoTransfer(D_can& node, FrameTaker& taker, int node_id, int index, int subindex, int timeout_ms,
                         bool legacy)
    : node_(node),
      taker_(taker),
      node_id_(node_id),
      index_(index & 0xFFFF),
      subindex_(subindex & 0xFF),
      timeout_us_(int64_t{timeout_ms} * 1000),
      legacy_(legacy) {}

int SdoTransfer::segment_limit(int size) { return size / 7 + kExtraSegments; }

void SdoTransfer::entry_frame(uint8_t command, uint8_t* frame) const {
  const uint8_t head[8] = {command, static_cast<uint8_t>(index_ & 0xFF), static_cast<uint8_t>(index_ >> 8),
                           static_cast<uint8_t>(subindex_)};
  std::memcpy(frame, head, sizeof head);
}

int SdoTransfer::request(const uint8_t* frame, Stage stage) {
  stage_ = stage;
  uint8_t data[8];
  std::memcpy(data, frame, sizeof data);
  return node_.can_write(0x600 + node_id_, 8, data);
}

int SdoTransfer::give_up(uint32_t code) {
  abort_code_ = code;
  uint8_t frame[8];
  entry_frame(0x80, frame);
  put_le32(frame + 4, code);
  // The result stays the time-out or protocol error; a failed send leaves
  // the node to its own time-out.
  node_.can_write(0x600 + node_id_, 8, frame);
  return -1;
}

SdoTransfer::Verdict SdoTransfer::judge(const CMSG& m, Expect expect, SdoAnswer* a, uint32_t* code) const {
  if (!sdo_answer(m, node_id_, a)) return Verdict::Drop;
  if (expect == Expect::BlockSegment) {
    // A block's segments may carry any command byte: among them only 0x80
    // (sequence number 0) naming the entry is an abort.
    if (a->command == 0x80 && sdo_abort(*a, index_, subindex_, code)) return Verdict::Aborted;
    return judge_block(expect, *a);
  }
  if (sdo_abort(*a, index_, subindex_, code)) return Verdict::Aborted;
  const uint8_t c = a->command;
  // An abort of another transfer (one given up before) is none of this one's.
  if ((c & 0xE0) == 0x80) return Verdict::Drop;
  const Verdict unexpected = legacy_ ? Verdict::Drop : Verdict::Unexpected;
  switch (expect) {
    case Expect::InitiateUpload:
      // Answers naming another entry belong to another transfer.
      if (!names_entry(*a, index_, subindex_)) return Verdict::Drop;
      if ((c & 0xF0) != 0x40) return unexpected;
      return initiate_upload_whole(*a) ? Verdict::Take : Verdict::Drop;
    case Expect::UploadSegment: {
      if (c & 0xE0) return unexpected;
      if (a->length < 1 + 7 - ((c >> 1) & 7)) return Verdict::Drop;  // shorter than it claims
      return ((c >> 4) & 1) == toggle_ ? Verdict::Take : Verdict::WrongToggle;
    }
    case Expect::InitiateDownload:
      if (!names_entry(*a, index_, subindex_)) return Verdict::Drop;
      return c == 0x60 ? Verdict::Take : Verdict::Unexpected;
    case Expect::DownloadSegment:
      if ((c & 0xE0) != 0x20) return Verdict::Unexpected;
      return ((c >> 4) & 1) == toggle_ ? Verdict::Take : Verdict::WrongToggle;
    default: return judge_block(expect, *a);
  }
}

int SdoTransfer::await(Expect expect, SdoAnswer* answer, Stage stage, const AnswerRun* run) {
  stage_ = stage;
  FrameWait wait(node_, timeout_us_);
  for (;;) {
    int count = 0;
    const int r = wait.next(batch_, &count);
    if (r == kTimedOut) return give_up(kAbortTimeout);
    if (r != NTCAN_SUCCESS) return r;
    // The frames that are not the answer, in front of it and behind it in
    // the batch, are kept for the node's fills. A run's answers take their
    // place among them: batch_[first..i) are the frames not yet kept.
    int first = 0;
    for (int i = 0; i < count; ++i) {
      uint32_t code = 0;
      const Verdict verdict = judge(batch_[i], expect, answer, &code);
      if (verdict == Verdict::Drop) continue;
      taker_.keep(batch_ + first, i - first);
      first = i + 1;
      if (verdict == Verdict::Take && run && (*run)(*answer)) continue;
      taker_.keep(batch_ + first, count - first);
      switch (verdict) {
        case Verdict::Drop:
        case Verdict::Take: return 0;
        case Verdict::Aborted:
          abort_code_ = code;
          node_aborted_ = true;
          if (legacy_) {
            std::printf("Segmented transfer aborted with code 0x%X\n", static_cast<unsigned>(code));
            std::fflush(stdout);
          }
          return -1;
        case Verdict::WrongToggle:
          if (legacy_) {
            std::puts("--Error: bad toggle bit in segmented transfer sequence.");
            std::fflush(stdout);
          }
          return give_up(kAbortToggle);
        case Verdict::Unexpected: return give_up(kAbortUnknownCommand);
      }
    }
    taker_.keep(batch_ + first, count - first);
    if (cancelled()) return give_up(kSdoAbortCancelled);
  }
}

int SdoTransfer::upload(uint8_t* buffer, int size, int* len) {
  *len = 0;
  uint8_t initiate[8];
  entry_frame(0x40, initiate);
  int r = request(initiate, Stage::InitiateRequest);
  if (r != 0) return r;
  SdoAnswer a;
  if ((r = await(Expect::InitiateUpload, &a, Stage::InitiateAnswer)) != 0) return r;
  return upload_answered(a, buffer, size, len);
}

int SdoTransfer::upload_answered(const SdoAnswer& answer, uint8_t* buffer, int size, int* len) {
  // Legacy: the last byte of the buffer is never written.
  const int room = legacy_ ? size - 1 : size;
  int stored = 0;
  int r = 0;
  SdoAnswer a = answer;
  const uint8_t c = a.command;
  if (c & 0x02) {  // expedited: the value is in this answer
    const int n = (c & 0x01) ? 4 - ((c >> 2) & 3) : a.length - 4;
    stored = n < room ? n : room;
    std::memcpy(buffer, a.data + 4, static_cast<size_t>(stored));
    if (legacy_) buffer[stored] = 0;
    *len = stored;
    if (n > room && !legacy_) return fail();
    step_done(static_cast<size_t>(stored), true);
    return 0;
  }
  // Segmented, its size indicated in bytes 4-7 when s is set.
  const int64_t indicated = (c & 0x01) && a.length == 8 ? int64_t{le32(a.data + 4)} : -1;
  if (!legacy_ && indicated > room) return give_up(kAbortOutOfMemory);
  if (indicated > 0) total_ = static_cast<size_t>(indicated);
  for (int segments = 0;; ++segments) {
    if (segments == segment_limit(size)) {
      stage_ = Stage::SegmentLimit;
      return give_up(kAbortOutOfMemory);
    }
    const uint8_t segment[8] = {static_cast<uint8_t>(0x60 | toggle_ << 4)};
    if ((r = request(segment, Stage::SegmentRequest)) != 0) return r;
    if ((r = await(Expect::UploadSegment, &a, Stage::SegmentAnswer)) != 0) return r;
    const int n = 7 - ((a.command >> 1) & 7);
    const bool last = a.command & 0x01;
    const int fits = n < room - stored ? n : room - stored;
    std::memcpy(buffer + stored, a.data + 1, static_cast<size_t>(fits > 0 ? fits : 0));
    if (fits > 0) stored += fits;
    *len = stored;
    if (!legacy_) {
      const bool beyond_room = fits < n;
      const bool beyond_indicated = indicated >= 0 && stored > indicated;
      if (beyond_room || beyond_indicated) {
        // The node has ended the transfer with its last segment.
        if (last) return fail();
        return give_up(beyond_room ? kAbortOutOfMemory : kAbortLength);
      }
      if (last && indicated >= 0 && stored != indicated) return fail();
    }
    if ((r = step_done(static_cast<size_t>(stored), last)) != 0 || last) return r;
    toggle_ ^= 1;
  }
}

int SdoTransfer::download(const uint8_t* data, int len) {
  uint8_t initiate[8];
  const bool expedited = len <= 4;
  if (expedited) {
    // e = 1, s = 1, n = the bytes of the four that carry no data.
    entry_frame(static_cast<uint8_t>(0x23 | (4 - len) << 2), initiate);
    std::memcpy(initiate + 4, data, static_cast<size_t>(len));
  } else {
    entry_frame(0x21, initiate);  // segmented, the size in bytes 4-7
    put_le32(initiate + 4, static_cast<uint32_t>(len));
  }
  total_ = static_cast<size_t>(len);
  int r = request(initiate, Stage::InitiateRequest);
  if (r != 0) return r;
  SdoAnswer a;
  if ((r = await(Expect::InitiateDownload, &a, Stage::InitiateAnswer)) != 0) return r;
  if (expedited) return step_done(total_, true);
  for (int sent = 0; sent < len;) {
    const int n = len - sent < 7 ? len - sent : 7;
    const bool last = sent + n == len;
    uint8_t segment[8] = {static_cast<uint8_t>(toggle_ << 4 | (7 - n) << 1 | (last ? 1 : 0))};
    std::memcpy(segment + 1, data + sent, static_cast<size_t>(n));
    if ((r = request(segment, Stage::SegmentRequest)) != 0) return r;
    if ((r = await(Expect::DownloadSegment, &a, Stage::SegmentAnswer)) != 0) return r;
    sent += n;
    if ((r = step_done(static_cast<size_t>(sent), last)) != 0) return r;
    toggle_ ^= 1;
  }
  return 0;
}

}  // namespace vorbel
