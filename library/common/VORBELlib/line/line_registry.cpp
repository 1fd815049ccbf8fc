// Line registry and node attachment: one canline per line number, created,
// opened and put under supervision by the first node that names it; nodes
// get and give up their NTCAN handles on it.
#include <vector>

#include "D_vorbel.h"
#include "line/line_log.h"
#include "line/line_supervision.h"

namespace {

// Lines are never removed or freed: nodes and supervision threads hold plain
// pointers to them for the life of the process.
std::vector<canline*>& canline_list() {
  static auto* list = new std::vector<canline*>;
  return *list;
}

// Guards canline_list, so that two nodes initialised on different threads
// never create two lines of one number. Taken after D_can::mx_loop when both
// are held, never before it.
std::mutex& line_list_mutex() {
  static auto* mx = new std::mutex;
  return *mx;
}

constexpr int kDefaultBaudrate = 6;  // NTCAN code of 125 kbit/s

}  // namespace

namespace {
canline* find_line(int lineno) {
  for (canline* l : canline_list())
    if (l->line() == lineno) return l;
  return nullptr;
}
}  // namespace

int D_can::can_open() {
  const int lineno = canIdent_.i1_data;
  std::unique_lock<std::mutex> lk(line_list_mutex());
  if (canline* l = find_line(lineno)) {
    // Joining an existing line needs no lock: lines are never removed.
    lk.unlock();
    const int ret = l->can_open(canhandle_, false);
    pline_ = l;
    return ret;
  }

  // Creating a line holds the lock throughout, so that a line number never
  // gets two line objects.
  auto* l = new canline;
  l->setline(lineno);
  std::string ip;
  l->getlineip(lineno, ip);
  l->setlineip(ip);
  // The node that creates a line fixes its baud rate.
  const int baud = baudrate_->value();
  l->setbaud(baud == 0 ? kDefaultBaudrate : baud);
  const int ret = l->can_open(canhandle_, true);
  // Registered and supervised even when the open failed: the supervision
  // thread keeps trying to open it.
  canline_list().push_back(l);
  l->t1_ = std::thread(can_control, static_cast<void*>(l));
  l->t1_.detach();
  pline_ = l;
  return ret;
}

int D_can::can_close() {
  if (canhandle_ == -1) return 0;
  if (isactive()) {
    const NTCAN_HANDLE line_handle = pline_ ? pline_->handle() : -1;
    if (line_handle >= 0 && line_handle != canhandle_) {
      // A handle of the node's own.
      const int ret = canClose(canhandle_);
      if (ret != NTCAN_SUCCESS) vorbel::log("D_can::can_close returned: ", vorbel::status_text(ret));
      TELVOsleep(0, 5000);
      canhandle_ = -1;
      return ret;
    }
    // The line's handle belongs to the line.
    canhandle_ = -1;
    return 0;
  }
  // A node that is not the master uses its master's handle and buffers: it
  // only forgets them.
  rxmsg_ = nullptr;
  can_ret_ = nullptr;
  rxmsg_len_ = nullptr;
  alive_ptr_ = nullptr;
  canhandle_ = -1;
  return 0;
}
