// Line registry and node attachment: one canline per line number, created,
// opened and put under supervision by the first node that names it; nodes
// get and give up their NTCAN handles on it; the library's shutdown.
#include <vector>

#include "D_vorbel.h"
#include "line/line_handles.h"
#include "line/line_log.h"
#include "line/line_supervision.h"
#include "node/baudrate.h"
#include "node/node_registry.h"

namespace {

// Lines are never removed or freed: nodes and supervision threads hold plain
// pointers to them for the life of the process.
std::vector<canline*>& canline_list() {
  static auto* list = new std::vector<canline*>;
  return *list;
}

// Guards canline_list and the shutdown flag, so that two nodes initialised
// on different threads never create two lines of one number, and no line
// is created once the library is shutting down. Taken after D_can::mx_loop
// when both are held, never before it.
std::mutex& line_list_mutex() {
  static auto* mx = new std::mutex;
  return *mx;
}
bool g_stopping = false;               // under line_list_mutex
std::atomic<bool> g_shut_down{false};  // the lines are closed for good

canline* find_line(int lineno) {
  for (canline* l : canline_list())
    if (l->line() == lineno) return l;
  return nullptr;
}

}  // namespace

namespace vorbel {

bool shut_down() { return g_shut_down.load(); }

HandleUse::HandleUse(const D_can& node) {
  canline* line = nullptr;
  NTCAN_HANDLE handle = -1;
  HandleTicket ticket;
  {
    LoopLock lk;
    if (!node.pline_ || (node.block_ && node.block_->orphaned)) return;
    line = node.pline_;
    handle = node.canhandle_;
    ticket = node.ticket_;
  }
  LineHandles& lh = *line->handles_;
  lh.mx.lock_shared();
  if (!lh.lists(handle, ticket)) {
    lh.mx.unlock_shared();
    return;
  }
  line_ = line;
  handle_ = handle;
}

HandleUse::~HandleUse() {
  if (line_) line_->handles_->mx.unlock_shared();
}

}  // namespace vorbel

int D_can::can_open() {
  vorbel::LoopLock lk;
  on_line_ = true;
  return open_on_line();
}

// Under mx_loop. A node keeps a handle its line still holds open; any other
// is given up, and the node gets the line's own handle when its open
// creates the line, else one of its own.
int D_can::open_on_line() {
  const int lineno = canIdent_.i1_data;
  std::unique_lock<std::mutex> lk(line_list_mutex());
  if (g_stopping) return NTCAN_INVALID_HANDLE;
  canline* l = find_line(lineno);
  if (l) {
    // Joining an existing line needs no lock: lines are never removed.
    lk.unlock();
    if (pline_ == l && usable()) return 0;
    release_handle();
    pline_ = l;
    if (l->handle() <= 0) {
      // A closed line takes no new users until its supervision reopens it.
      l->is_open_ = false;
      return -1;
    }
    const int ret = l->open_handle(canhandle_, ticket_, false);
    owns_handle_ = ret == 0;
    return ret;
  }

  // Creating a line holds the lock throughout, so that a line number never
  // gets two line objects.
  release_handle();
  l = new canline;
  l->setline(lineno);
  std::string ip;
  l->getlineip(lineno, ip);
  l->setlineip(ip);
  // The node that creates a line fixes its baud rate, and uses the line's
  // own handle, which the line closes.
  l->setbaud(vorbel::line_baudrate_code(baudrate_->value()));
  const int ret = l->open_handle(canhandle_, ticket_, true);
  // Registered and supervised even when the open failed: the supervision
  // thread keeps trying to open it.
  canline_list().push_back(l);
  l->t1_ = std::thread(can_control, static_cast<void*>(l));
  l->t1_.detach();
  pline_ = l;
  return ret;
}

int D_can::can_close() {
  vorbel::LoopLock lk;
  on_line_ = false;
  const int ret = release_handle();
  // A node that is not the master forgets its master's buffers.
  if (!isactive()) drop_block();
  return ret;
}

// Under mx_loop. Closes a handle the node opened itself, unless its line has
// closed it already; a handle of the line or of a master is only forgotten.
int D_can::release_handle() {
  int ret = 0;
  if (owns_handle_ && pline_) {
    bool closed = false;
    ret = pline_->close_handle(canhandle_, ticket_, &closed);
    if (closed) {
      if (ret != NTCAN_SUCCESS) vorbel::log("D_can::can_close returned: ", vorbel::status_text(ret));
      TELVOsleep(0, 5000);
    }
  }
  canhandle_ = -1;
  ticket_ = vorbel::HandleTicket{};
  owns_handle_ = false;
  return ret;
}

bool D_can::usable() const {
  return pline_ && !(block_ && block_->orphaned) && pline_->lists(canhandle_, ticket_);
}

NTCAN_HANDLE D_can::handle() const {
  vorbel::LoopLock lk;
  return usable() ? canhandle_ : -1;
}

bool D_can::handle_stale() const {
  vorbel::LoopLock lk;
  return on_line_ && !usable();
}

void canline_shutdown() {
  static std::mutex once;
  std::lock_guard<std::mutex> guard(once);
  std::vector<canline*> lines;
  {
    std::lock_guard<std::mutex> lk(line_list_mutex());
    if (g_stopping) return;
    g_stopping = true;
    lines = canline_list();
  }
  // Supervision threads look at their stop flag at least once a second of
  // framework time, also in their long pauses.
  for (canline* l : lines) l->ThreadStop_ = true;
  for (;;) {
    bool all = true;
    for (canline* l : lines) all = all && l->thread_ended_;
    if (all) break;
    TELVOsleep(0, 10000);
  }
  for (canline* l : lines) l->shut();
  g_shut_down = true;
}
