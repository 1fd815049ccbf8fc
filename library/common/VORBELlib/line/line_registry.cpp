// Line registry and node attachment: one canline per line number, created,
// opened and put under supervision by the first node that names it; nodes
// get and give up their NTCAN handles on it; the library's shutdown.
#include <condition_variable>
#include <mutex>
#include <vector>

#include "D_vorbel.h"
#include "line/line_events.h"
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

canline* line_numbered(int lineno) {
  std::lock_guard<std::mutex> lk(line_list_mutex());
  return find_line(lineno);
}

HandleUse::HandleUse(const D_can& node) : use_(node.usable_ref()) {}

}  // namespace vorbel

uint64_t D_can::usable_ref() const {
  const vorbel::NodeBlock* b = block_.load(std::memory_order_acquire);
  if (b && b->orphaned.load(std::memory_order_acquire)) return 0;
  return ref_.load(std::memory_order_acquire);
}

int D_can::can_open() {
  vorbel::LoopLock lk;
  on_line_ = true;
  return open_on_line(lk);
}

// Under mx_loop, which is released while the driver opens a handle. A node
// keeps a handle its line still holds open; any other is given up, and the
// node gets the line's own handle when its open creates the line, else one
// of its own. When the node changed while the lock was released (closed,
// moved or opened by another thread), a handle opened meanwhile is closed
// again and the node is left as the other change made it.
int D_can::open_on_line(vorbel::LoopLock& lk) {
  for (;;) {
    const int lineno = canIdent_.i1_data;
    canline* l = nullptr;
    bool create = false;
    {
      std::lock_guard<std::mutex> ll(line_list_mutex());
      if (g_stopping) return NTCAN_INVALID_HANDLE;
      l = find_line(lineno);
      if (!l) {
        // The line is listed at once, so that a line number never gets two
        // line objects; nodes that find it meanwhile wait for its open.
        l = new canline;
        l->setline(lineno);
        std::string ip;
        l->getlineip(lineno, ip);
        l->setlineip(ip);
        // The node that creates a line fixes its baud rate, and uses the
        // line's own handle, which the line closes.
        l->setbaud(vorbel::line_baudrate_code(baudrate_->value()));
        l->creating_ = true;
        canline_list().push_back(l);
        create = true;
      }
    }
    if (!create && l->wait_created(lk)) continue;
    if (!create && pline_ == l && usable()) return 0;
    release_handle();
    pline_ = l;
    if (!create && l->handle() <= 0) {
      // A closed line takes no new users until its supervision reopens it.
      l->is_open_ = false;
      return -1;
    }

    const uint32_t epoch = ++epoch_;
    ++opening_;
    lk.unlock();
    NTCAN_HANDLE h = -1;
    uint64_t ref = 0;
    int ret = 0;
    if (create) {
      canline::Creation done(*l);
      ret = l->open_handle(h, ref, true);
      if (ret == NTCAN_INVALID_HANDLE) {
        l->thread_ended_ = true;  // shut down during the open: no supervision
      } else {
        // Registered and supervised even when the open failed: the
        // supervision thread keeps trying to open it.
        l->t1_ = std::thread(can_control, static_cast<void*>(l));
        l->t1_.detach();
      }
    } else {
      ret = l->open_handle(h, ref, false);
    }
    lk.lock();
    if (--opening_ == 0) lk.notify_opened();
    if (epoch_ != epoch || pline_ != l) {
      // The node changed meanwhile; the line's own handle stays the line's.
      if (ret == 0 && !create) {
        bool closed = false;
        l->close_handle(ref, &closed);
      }
      return usable() ? 0 : -1;
    }
    if (ret == 0) use_handle(h, ref, !create);
    return ret;
  }
}

int D_can::can_close() {
  vorbel::LoopLock lk;
  on_line_ = false;
  const int ret = release_handle();
  // A node that is not the master forgets its master's buffers.
  if (!isactive()) drop_block();
  return ret;
}

// Under mx_loop. The node uses `handle` (its opening `ref`) from now on;
// `owned`: it opened it itself and closes it. A master's fill takes from it.
void D_can::use_handle(NTCAN_HANDLE handle, uint64_t ref, bool owned) {
  canhandle_ = handle;
  ref_.store(ref, std::memory_order_release);
  owns_handle_ = owned;
  ++epoch_;
  vorbel::NodeBlock* b = block_.load(std::memory_order_relaxed);
  if (b && b->master == this) {
    std::lock_guard<vorbel::SpinLock> g(b->mx);
    vorbel::set_source(*b, ref);
  }
}

// Under mx_loop. Closes a handle the node opened itself, unless its line has
// closed it already; a handle of the line or of a master is only forgotten.
int D_can::release_handle() {
  int ret = 0;
  if (owns_handle_ && pline_) {
    bool closed = false;
    ret = pline_->close_handle(ref_.load(std::memory_order_relaxed), &closed);
    if (closed) vorbel::pause_after_close();
  }
  use_handle(-1, 0, false);
  return ret;
}

bool D_can::usable() const {
  const vorbel::NodeBlock* b = block_.load(std::memory_order_relaxed);
  return pline_ && !(b && b->orphaned.load()) && vorbel::opening_open(ref_.load(std::memory_order_relaxed));
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
  // Supervision threads look at their stop flag at least every half second
  // of framework time, also in their long pauses and gateway resets. One in
  // the driver's open (a remote driver's connect) is not waited for: the
  // open, when it ends, finds the line shut and closes its handle.
  const auto settled = [](canline* l) { return l->thread_ended_ || l->reopening_ || l->creating_; };
  for (canline* l : lines) l->ThreadStop_ = true;
  for (;;) {
    bool all = true;
    for (canline* l : lines) all = all && settled(l);
    if (all) break;
    TELVOsleep(0, 10000);
  }
  vorbel::LineEvents::shut(lines);
  for (canline* l : lines) l->shut();
  g_shut_down = true;
}
