// CAN line object: opening and closing the handles of one CAN net, and the
// texts of NTCAN status codes.
#include <cstdio>
#include <shared_mutex>

#include "D_vorbel.h"
#include "line/handle_settings.h"
#include "line/line_handles.h"
#include "line/line_log.h"

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
      handles_(std::make_unique<vorbel::LineHandles>()) {}

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
  vorbel::HandleTicket ticket;
  return open_handle(handle, ticket, true);
}

int canline::open_handle(NTCAN_HANDLE& handle, vorbel::HandleTicket& ticket, bool may_open_line) {
  vorbel::LineHandles& lh = *handles_;
  uint64_t closes = 0;
  {
    std::shared_lock<std::shared_mutex> lk(lh.mx);
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
  {
    std::unique_lock<std::shared_mutex> lk(lh.mx);
    // A handle opened while the line was closed, or closed meanwhile, is
    // not handed out, unless it opens the line.
    const bool line_closed = linehandle_.load() <= 0;
    if (lh.shut || lh.closes != closes || (line_closed && !may_open_line)) {
      canClose(fresh);
      handle = -1;
      return -1;
    }
    ticket = lh.keep(fresh);
    if (line_closed) linehandle_ = fresh;
  }
  handle = fresh;
  is_open_ = true;
  err_first_ = false;
  return 0;
}

int canline::can_open() {
  if (linehandle_.load() > 0) return 0;
  NTCAN_HANDLE h = -1;
  vorbel::HandleTicket ticket;
  return open_handle(h, ticket, true);
}

int canline::can_close() {
  vorbel::LineHandles& lh = *handles_;
  int ret = 0;
  {
    std::unique_lock<std::shared_mutex> lk(lh.mx);
    const NTCAN_HANDLE own = linehandle_.load();
    if (own == -1) return 0;
    // The line's own handle first, then those of the nodes, each once.
    std::vector<NTCAN_HANDLE> open = {own};
    for (const auto& e : lh.open)
      if (e.serial != 0 && e.handle != own) open.push_back(e.handle);
    for (NTCAN_HANDLE h : open) {
      const int status = canClose(h);
      if (status != NTCAN_SUCCESS) vorbel::log("canline::canClose returned: ", vorbel::status_text(status));
      if (h == own) ret = status;
    }
    lh.forget_all();
    linehandle_ = -1;
  }
  TELVOsleep(0, 5000);
  is_open_ = false;
  return ret;
}

int canline::close_handle(NTCAN_HANDLE handle, const vorbel::HandleTicket& ticket, bool* closed) {
  vorbel::LineHandles& lh = *handles_;
  std::unique_lock<std::shared_mutex> lk(lh.mx);
  *closed = lh.lists(handle, ticket);
  if (!*closed) return 0;
  lh.forget(ticket);
  return canClose(handle);
}

bool canline::lists(NTCAN_HANDLE handle, const vorbel::HandleTicket& ticket) {
  vorbel::LineHandles& lh = *handles_;
  std::shared_lock<std::shared_mutex> lk(lh.mx);
  return lh.lists(handle, ticket);
}

void canline::shut() {
  {
    std::unique_lock<std::shared_mutex> lk(handles_->mx);
    handles_->shut = true;
  }
  can_close();
}
