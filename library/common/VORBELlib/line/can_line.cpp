// CAN line object: opening and closing the handles of one CAN net, and the
// texts of NTCAN status codes.
#include <algorithm>
#include <cstdio>
#include <mutex>

#include "D_vorbel.h"
#include "line/handle_settings.h"
#include "line/line_handles.h"
#include "line/line_log.h"
#include "line/openings.h"
#include "node/node_registry.h"

namespace {

struct ERR2STR {
  uint64_t ntstatus;
  const char* str;
};

// Scanned in order; the last record is the sentinel for unknown codes.
const ERR2STR err2str[] = {
    {0x0, "NTCAN_SUCCESS"},
    {0x101, "NTCAN_RX_TIMEOUT"},
    {0x102, "NTCAN_TX_TIMEOUT"},
    {0x104, "NTCAN_TX_ERROR"},
    {0x105, "NTCAN_CONTR_OFF_BUS"},
    {0x106, "NTCAN_CONTR_BUSY"},
    {0x107, "NTCAN_CONTR_WARN"},
    {0x109, "NTCAN_NO_ID_ENABLED"},
    {0x10A, "NTCAN_ID_ALREADY_ENABLED"},
    {0x10B, "NTCAN_ID_NOT_ENABLED"},
    {0x10D, "NTCAN_INVALID_FIRMWARE"},
    {0x10E, "NTCAN_MESSAGE_LOST"},
    {0x16, "NTCAN_INVALID_PARAMETER"},
    {0x4D, "NTCAN_INVALID_HANDLE"},
    {0x13, "NTCAN_NET_NOT_FOUND"},
    {0x10F, "NTCAN_INVALID_HARDWARE"},
    {0x110, "NTCAN_PENDING_WRITE"},
    {0x111, "NTCAN_PENDING_READ"},
    {0x112, "NTCAN_INVALID_DRIVER"},
    {0x4, "NTCAN_OPERATION_ABORTED"},
    {0x113, "NTCAN_WRONG_DEVICE_STATE"},
    {0xC, "NTCAN_INSUFFICIENT_RESOURCES"},
    {0x180, "NTCAN_SOCK_CONN_TIMEOUT"},
    {0x181, "NTCAN_SOCK_CMD_TIMEOUT"},
    {0x182, "NTCAN_SOCK_HOST_NOT_FOUND"},
    {0xFFFFFFFF, "NTCAN_UNKNOWN"},
};
constexpr size_t kErr2strCount = sizeof err2str / sizeof err2str[0];
static_assert(kErr2strCount == 26, "25 status texts and the sentinel");

}  // namespace

std::string can_error_str(unsigned long ntstatus) {
  size_t i = 0;
  while (i + 1 < kErr2strCount && err2str[i].ntstatus != ntstatus) ++i;
  char code[32];
  std::snprintf(code, sizeof code, "(0x%08lx)", ntstatus);
  return std::string(err2str[i].str) + code;
}

canline::canline()
    : linehandle_(-1),
      todo_(0),
      line_(0),
      baudrate_(0),
      is_open_(false),
      err_first_(false),
      board_status(0),
      deny_wget_reset_(false),
      reset_first_(false),
      t1_(),
      line_ip_(),
      ThreadStop_(false),
      thread_ended_(false),
      reopening_(false),
      generation_(0),
      creating_(false),
      handles_(std::make_unique<vorbel::LineHandles>()),
      sync_(std::make_unique<vorbel::LineSync>()) {}

canline::~canline() = default;

int canline::can_open(NTCAN_HANDLE& handle, bool openalways) {
  const NTCAN_HANDLE line_handle = linehandle_.load();
  if (!openalways) {
    if (line_handle <= 0) {
      // A closed line takes no new users until its supervision reopens it.
      handle = -1;
      is_open_ = false;
      return -1;
    }
    if (handle != -1) {
      // The caller already holds a handle on the open line.
      if (handle > 0) {
        is_open_ = true;
        err_first_ = false;
        return 0;
      }
      handle = -1;
      is_open_ = false;
      return -1;
    }
  }
  vorbel::OpeningRef ref = 0;
  return open_handle(handle, ref, true);
}

// No lock is held while the driver opens: a remote driver's connect may take
// seconds, and nothing else on the line waits for it. The line's state is
// looked at before and after; a handle opened across a close of the line
// (or its shutdown) is closed again and not handed out.
int canline::open_handle(NTCAN_HANDLE& handle, vorbel::OpeningRef& ref, bool may_open_line) {
  vorbel::LineHandles& lh = *handles_;
  uint64_t closes = 0;
  {
    std::lock_guard<std::mutex> lk(lh.mx);
    if (lh.shut) return NTCAN_INVALID_HANDLE;
    closes = lh.closes;
  }
  NTCAN_HANDLE fresh = -1;
  int ret = canOpen(line_ - 1, vorbel::kModeFlags, vorbel::kTxQueueSize, vorbel::kRxQueueSize, vorbel::kTxTimeoutMs,
                    vorbel::kRxTimeoutMs, &fresh);
  if (ret != NTCAN_SUCCESS) {
    handle = -1;
    // One message per run of failed opens.
    if (!err_first_.exchange(true)) vorbel::log("canOpen returned: ", vorbel::line_status_text(line_, ret));
    is_open_ = false;
    return ret;
  }
  TELVOsleep(0, 5000);
  ret = canSetBaudrate(fresh, static_cast<uint32_t>(baudrate_));
  if (ret != NTCAN_SUCCESS) {
    vorbel::log("canSetBaudrate returned: ", vorbel::status_text(ret));
    is_open_ = false;
    canClose(fresh);
    return ret;
  }
  bool kept = false;
  bool shut = false;
  {
    std::lock_guard<std::mutex> lk(lh.mx);
    // A handle opened while the line was closed is kept only when it opens
    // the line; nothing of an earlier opening is kept.
    const bool line_closed = lh.own == 0;
    shut = lh.shut;
    kept = !shut && lh.closes == closes && (!line_closed || may_open_line);
    if (kept) {
      ref = vorbel::keep_opening(fresh);
      if (line_closed) {
        lh.own = ref;
        linehandle_ = fresh;
        ++generation_;
      } else {
        lh.nodes.push_back(ref);
      }
    }
  }
  if (!kept) {
    canClose(fresh);
    handle = -1;
    return shut ? NTCAN_INVALID_HANDLE : -1;
  }
  handle = fresh;
  is_open_ = true;
  err_first_ = false;
  return 0;
}

int canline::can_open() {
  if (linehandle_.load() > 0) return 0;
  NTCAN_HANDLE h = -1;
  vorbel::OpeningRef ref = 0;
  return open_handle(h, ref, true);
}

// The line counts as closed from the first step: its handle number is -1 and
// every opening on it refuses new calls. Each handle is then closed once, at
// once or, when a call is in progress on it (a read blocked in the driver),
// by that call when it comes back.
int canline::can_close() {
  vorbel::LineHandles& lh = *handles_;
  std::vector<vorbel::OpeningRef> refs;
  {
    std::lock_guard<std::mutex> lk(lh.mx);
    if (linehandle_.load() == -1) return 0;
    // The line's own handle first, then those of the nodes.
    refs.reserve(lh.nodes.size() + 1);
    refs.push_back(lh.own);
    refs.insert(refs.end(), lh.nodes.begin(), lh.nodes.end());
    lh.nodes.clear();
    lh.own = 0;
    ++lh.closes;
    linehandle_ = -1;
    ++generation_;
  }
  const int ret = vorbel::close_openings(refs.data(), refs.size(), "canline::canClose returned: ");
  TELVOsleep(0, 5000);
  is_open_ = false;
  return ret;
}

int canline::close_handle(vorbel::OpeningRef ref, bool* closed) {
  vorbel::LineHandles& lh = *handles_;
  {
    std::lock_guard<std::mutex> lk(lh.mx);
    auto it = std::find(lh.nodes.begin(), lh.nodes.end(), ref);
    if (it == lh.nodes.end()) {
      *closed = false;  // closed with the line already
      return 0;
    }
    lh.nodes.erase(it);
  }
  return vorbel::close_openings(&ref, 1, "D_can::can_close returned: ", closed);
}

canline::Creation::~Creation() {
  {
    std::lock_guard<std::mutex> lk(line_.handles_->mx);
    line_.creating_ = false;
  }
  line_.handles_->created.notify_all();
}

bool canline::wait_created(vorbel::LoopLock& lk) {
  vorbel::LineHandles& lh = *handles_;
  std::unique_lock<std::mutex> g(lh.mx);
  if (!creating_) return false;
  lk.unlock();
  lh.created.wait(g, [&] { return !creating_.load(); });
  g.unlock();
  lk.lock();
  return true;
}

void canline::shut() {
  {
    std::lock_guard<std::mutex> lk(handles_->mx);
    handles_->shut = true;
  }
  can_close();
}
