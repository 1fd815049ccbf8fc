// Line supervision: one detached thread per line watches its status, closes
// the line after two failed status queries in a row, reopens it with a pause
// growing by one second per attempt up to a minute, and asks an unreachable
// network gateway to reset itself, at most five times per outage.
#include <cstdio>
#include <string>

#include "D_vorbel.h"
#include "line/line_events.h"
#include "line/line_log.h"
#include "line/line_supervision.h"

namespace {

constexpr int kStartPause = 60;      // s before the first cycle
constexpr int kClosePause = 15;      // s after closing a failing line
constexpr int kResetPause = 20;      // s after a gateway reset
constexpr int kMaxCyclePause = 60;   // s, the cycle pause grows up to this
constexpr int kResetThreshold = 5;   // failed reopens counted before a reset
constexpr int kMaxResets = 5;        // resets until the line is healthy again

// Pauses `seconds` in half-second steps, so that a stop request is seen
// within half a second; false when it was.
bool pause(canline* line, int seconds) {
  for (int half = 0; half < 2 * seconds && !line->ThreadStop_; ++half) TELVOsleep(0, 500000);
  return !line->ThreadStop_;
}

// Watches the line until its stop flag is set.
void supervise(canline* line) {
  char msg[100];
  std::snprintf(msg, sizeof msg, "Line : %d, Handle: %d", line->line(), line->handle());
  vorbel::log("Inside can_control: ", msg);
  if (!pause(line, kStartPause)) return;

  // Only the presence of the marker file at this moment counts.
  if (FILE* f = std::fopen("./DENY-wget-reset", "r")) {
    vorbel::log("can_control  ", "do not allow wget resets");
    line->deny_wget_reset_ = true;
    std::fclose(f);
  } else {
    vorbel::log("can_control  ", "allow wget resets");
    line->deny_wget_reset_ = false;
  }

  CAN_IF_STATUS canstat{};
  int ret = 0;
  int retry = 1;
  int open_err_cnt = kResetThreshold;
  int reset_tries = 0;
  bool first_time = true;  // the next failed query is tolerated once
  bool first = false;      // the close of this outage has been logged

  while (pause(line, retry)) {
    const NTCAN_HANDLE h = line->handle();
    if (h > 0) {
      open_err_cnt = kResetThreshold;
      ret = canStatus(h, &canstat);
      if (ret != NTCAN_SUCCESS && first_time) {
        vorbel::log("1. canStatus returned: ", vorbel::line_status_text(line->line(), ret));
        first_time = false;
        continue;
      }
      if (ret != NTCAN_SUCCESS) {
        line->can_close();
        vorbel::LineEvents::closed(*line);
        if (!first) vorbel::log("2. canStatus returned: ", vorbel::line_status_text(line->line(), ret));
        if (!pause(line, kClosePause)) break;
        first = true;
        retry = 1;
        reset_tries = 0;
        continue;
      }
      // Healthy: texts are built only when the board status changed.
      if (canstat.boardstatus != line->board_status) {
        vorbel::log("3. canStatus returned: ", "Line : " + std::to_string(line->line()) +
                                                   "boardstatus: " + std::to_string(canstat.boardstatus));
      }
      line->board_status = canstat.boardstatus;
      first = false;
      first_time = true;
      line->reset_first_ = false;
      retry = 1;
      reset_tries = 0;
    } else {
      // canline_shutdown() does not wait for a reopen in the driver (a
      // remote driver's connect may take seconds).
      line->reopening_ = true;
      ret = line->can_open();
      line->reopening_ = false;
      if (ret == NTCAN_SUCCESS && !line->ThreadStop_) vorbel::LineEvents::reopened(*line);
      if (ret != NTCAN_SUCCESS) {
        first_time = true;
        ++open_err_cnt;
        if (open_err_cnt > kResetThreshold && reset_tries < kMaxResets && ret == NTCAN_SOCK_CONN_TIMEOUT) {
          line->reset_line();
          if (!pause(line, kResetPause)) break;
          open_err_cnt = 0;
          ++reset_tries;
        }
      }
      if (retry < kMaxCyclePause) ++retry;
    }
  }
}

}  // namespace

void* can_control(void* ip) {
  if (!ip) return nullptr;
  canline* line = static_cast<canline*>(ip);
  supervise(line);
  vorbel::log("can_control", "stop can_control thread");
  // The thread's last touch of the line: canline_shutdown() waits for it.
  line->thread_ended_ = true;
  return ip;
}
