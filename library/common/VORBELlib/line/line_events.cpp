// Line events: device code's notices of a line's close and reopen, the
// nodes reattached after a reopen, the line's SYNC producer.
#include "line/line_events.h"

#include <algorithm>
#include <mutex>

#include "line/line_handles.h"
#include "line/line_log.h"
#include "node/node_registry.h"

namespace vorbel {

namespace {

struct Notice {
  int id;
  int line;
  std::function<void(int, bool)> call;
};

struct Notices {
  std::mutex mx;
  std::vector<Notice> list;
  int last_id = 0;
};

Notices& notices() {
  static auto* n = new Notices;  // never released: supervision threads call them until the process ends
  return *n;
}

// The nodes that asked to be reattached after a reopen; under mx_loop.
std::vector<D_can*>& auto_nodes() {
  static auto* list = new std::vector<D_can*>;
  return *list;
}

void notify(const canline& line, bool open) {
  std::vector<std::function<void(int, bool)>> calls;
  {
    Notices& n = notices();
    std::lock_guard<std::mutex> lk(n.mx);
    for (const Notice& x : n.list)
      if (x.line == line.line()) calls.push_back(x.call);
  }
  for (const auto& call : calls) {
    if (shut_down()) return;
    try {
      call(line.line(), open);
    } catch (...) {
      log("canline_on_change", "a notice of line " + std::to_string(line.line()) + " threw; ignored");
    }
  }
}

// Sends a frame on the line's own handle: 77 while the line is closed.
int send_on_line(LineHandles& lh, const CMSG& frame) {
  OpeningRef own = 0;
  {
    std::lock_guard<std::mutex> lk(lh.mx);
    own = lh.own;
  }
  OpeningUse use(own);
  if (!use) return NTCAN_INVALID_HANDLE;
  CMSG m = frame;
  int32_t count = 1;
  return canSend(use.handle(), &m, &count);
}

}  // namespace

void LineEvents::closed(canline& line) {
  {
    std::lock_guard<std::mutex> lk(line.sync_->mx);
    if (line.sync_->producer) line.sync_->producer->stop();
  }
  notify(line, false);
}

void LineEvents::reopened(canline& line) {
  {
    LineSync& s = *line.sync_;
    std::lock_guard<std::mutex> lk(s.mx);
    if (s.wanted && s.producer) s.producer->start(s.settings);
  }
  // The nodes to reattach are held (as an open in progress holds them), so
  // that none is destroyed before its turn; masters first.
  std::vector<D_can*> held;
  {
    LoopLock lk;
    for (D_can* n : auto_nodes()) {
      if (n->pline_ != &line || !n->on_line_ || n->usable()) continue;
      ++n->opening_;
      held.push_back(n);
    }
  }
  std::stable_partition(held.begin(), held.end(), [](D_can* n) {
    const NodeBlock* b = n->block_.load(std::memory_order_relaxed);
    return !b || b->master == n;
  });
  for (D_can* n : held) {
    LoopLock lk;
    n->reattach_locked(lk);
    if (--n->opening_ == 0) lk.notify_opened();
  }
  notify(line, true);
}

void LineEvents::shut(const std::vector<canline*>& lines) {
  for (canline* l : lines) {
    std::lock_guard<std::mutex> lk(l->sync_->mx);
    l->sync_->wanted = false;
    if (l->sync_->producer) l->sync_->producer->stop();
  }
}

int LineEvents::sync_start(canline& l, const SyncSettings& settings) {
  LineSync& s = *l.sync_;
  LineHandles& lh = *l.handles_;
  std::lock_guard<std::mutex> lk(s.mx);
  if (!s.producer)
    s.producer = std::make_unique<SyncProducer>([&lh](const CMSG& frame) { return send_on_line(lh, frame); });
  if (const int refused = s.producer->start(settings)) return refused;
  s.settings = settings;
  s.wanted = true;
  // A closed line: the producer starts with the reopen (a close after this
  // look stops it as usual).
  if (l.handle() <= 0) s.producer->stop();
  return 0;
}

int LineEvents::sync_stop(canline& l) {
  LineSync& s = *l.sync_;
  std::lock_guard<std::mutex> lk(s.mx);
  if (!s.producer || !s.wanted) return -1;
  s.wanted = false;
  s.producer->stop();
  return 0;
}

SyncStats LineEvents::sync_stats(canline& l) {
  LineSync& s = *l.sync_;
  std::lock_guard<std::mutex> lk(s.mx);
  return s.producer ? s.producer->stats() : SyncStats{};
}

void LineEvents::forget(D_can& node) {
  auto& list = auto_nodes();
  list.erase(std::remove(list.begin(), list.end(), &node), list.end());
}

}  // namespace vorbel

void D_can::auto_reattach(bool on) {
  vorbel::LoopLock lk;
  if (on == auto_reattach_) return;
  auto_reattach_ = on;
  if (on)
    vorbel::auto_nodes().push_back(this);
  else
    vorbel::LineEvents::forget(*this);
}

int canline_on_change(int line, std::function<void(int line, bool open)> notice) {
  if (line < 1 || line > 20 || !notice) return NTCAN_INVALID_PARAMETER;
  vorbel::Notices& n = vorbel::notices();
  std::lock_guard<std::mutex> lk(n.mx);
  n.list.push_back({++n.last_id, line, std::move(notice)});
  return n.last_id;
}

void canline_remove_notice(int id) {
  vorbel::Notices& n = vorbel::notices();
  std::lock_guard<std::mutex> lk(n.mx);
  n.list.erase(std::remove_if(n.list.begin(), n.list.end(), [id](const vorbel::Notice& x) { return x.id == id; }),
               n.list.end());
}

uint64_t canline_generation(int line) {
  const canline* l = vorbel::line_numbered(line);
  return l ? l->generation() : 0;
}

int canline_sync_start(int line, const vorbel::SyncSettings& settings) {
  canline* l = vorbel::line_numbered(line);
  if (!l || vorbel::shut_down()) return -1;
  return vorbel::LineEvents::sync_start(*l, settings);
}

int canline_sync_stop(int line) {
  canline* l = vorbel::line_numbered(line);
  return l ? vorbel::LineEvents::sync_stop(*l) : -1;
}

vorbel::SyncStats canline_sync_stats(int line) {
  canline* l = vorbel::line_numbered(line);
  return l ? vorbel::LineEvents::sync_stats(*l) : vorbel::SyncStats{};
}
