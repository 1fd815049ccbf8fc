#include "telvo_clock.h"

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "telvo.h"

namespace telvo {
namespace {

int64_t system_now_us() {
  using namespace std::chrono;
  return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

class RealClock : public Clock {
 public:
  int64_t now_us() override { return system_now_us(); }
  void sleep_us(int64_t us) override {
    if (us <= 0) return;
    timespec req{static_cast<time_t>(us / 1000000), static_cast<long>((us % 1000000) * 1000)};
    timespec rem{};
    while (nanosleep(&req, &rem) != 0 && errno == EINTR) req = rem;
  }
};

// Real time running `scale` times faster, counted from the moment of
// installation.
class ScaledClock : public Clock {
 public:
  explicit ScaledClock(double scale)
      : scale_(scale), wall_start_(system_now_us()), steady_start_(std::chrono::steady_clock::now()) {}
  int64_t now_us() override {
    auto real = std::chrono::duration_cast<std::chrono::microseconds>(
                    std::chrono::steady_clock::now() - steady_start_)
                    .count();
    return wall_start_ + static_cast<int64_t>(static_cast<double>(real) * scale_);
  }
  void sleep_us(int64_t us) override {
    if (us <= 0) return;
    std::this_thread::sleep_for(
        std::chrono::microseconds(static_cast<int64_t>(static_cast<double>(us) / scale_)));
  }

 private:
  double scale_;
  int64_t wall_start_;
  std::chrono::steady_clock::time_point steady_start_;
};

// Clocks are never destroyed: detached threads may sleep on them until the
// process ends.
Clock* real_clock() {
  static Clock* c = new RealClock;
  return c;
}

std::atomic<Clock*>& current() {
  static std::atomic<Clock*>* c = [] {
    auto* p = new std::atomic<Clock*>(real_clock());
    if (const char* s = std::getenv("TELVO_TIME_SCALE")) {
      char* end = nullptr;
      double scale = std::strtod(s, &end);
      if (end != s && scale > 0.0 && scale != 1.0) p->store(new ScaledClock(scale));
    }
    return p;
  }();
  return *c;
}

}  // namespace

Clock& clock() { return *current().load(); }

void set_clock(Clock* c) { current().store(c ? c : real_clock()); }

void set_time_scale(double scale) {
  if (scale <= 0.0 || scale == 1.0)
    set_clock(nullptr);
  else
    set_clock(new ScaledClock(scale));
}

// ---------------------------------------------------------------------------
// ManualClock

// Tells every manual clock a thread slept on that the thread has ended, so
// that advance() does not wait for it to go back to sleep.
struct ClockThreadExitHook {
  std::vector<ManualClock*> clocks;
  ~ClockThreadExitHook() {
    for (ManualClock* c : clocks) c->on_thread_exit(std::this_thread::get_id());
  }
  void add(ManualClock* c) {
    for (ManualClock* k : clocks)
      if (k == c) return;
    clocks.push_back(c);
  }
};

namespace {
thread_local ClockThreadExitHook t_exit_hook;
}

ManualClock::ManualClock(int64_t start_us) : now_(start_us) {}
ManualClock::~ManualClock() = default;

int64_t ManualClock::now_us() {
  std::lock_guard<std::mutex> lk(mx_);
  if (query_tick_ > 0) {
    now_ += query_tick_;
    wake_due_locked(false);
  }
  return now_;
}

void ManualClock::wake_due_locked(bool track) {
  bool any = false;
  for (auto& [tid, s] : sleepers_) {
    if (!s->woken && s->deadline <= now_) {
      s->woken = true;
      any = true;
      if (track) running_.insert(tid);
    }
  }
  if (any) cv_.notify_all();
}

void ManualClock::settle_locked(std::unique_lock<std::mutex>& lk) {
  if (!cv_.wait_for(lk, settle_timeout_, [&] { return running_.empty(); })) running_.clear();
}

void ManualClock::advance_locked(std::unique_lock<std::mutex>& lk, int64_t target) {
  for (;;) {
    int64_t next = -1;
    for (auto& [tid, s] : sleepers_)
      if (!s->woken && (next < 0 || s->deadline < next)) next = s->deadline;
    if (next < 0 || next > target) break;
    if (next > now_) now_ = next;
    wake_due_locked(true);
    settle_locked(lk);
  }
  if (target > now_) now_ = target;
}

void ManualClock::sleep_us(int64_t us) {
  if (us <= 0) return;
  std::unique_lock<std::mutex> lk(mx_);
  const auto tid = std::this_thread::get_id();
  if (drivers_.count(tid)) {
    advance_locked(lk, now_ + us);
    return;
  }
  t_exit_hook.add(this);
  if (running_.erase(tid)) cv_.notify_all();
  Sleeper s{now_ + us};
  auto it = sleepers_.emplace(tid, &s);
  cv_.notify_all();  // for wait_for_sleepers
  cv_.wait(lk, [&] { return s.woken; });
  sleepers_.erase(it);
}

void ManualClock::on_thread_exit(std::thread::id id) {
  std::lock_guard<std::mutex> lk(mx_);
  if (running_.erase(id)) cv_.notify_all();
  drivers_.erase(id);
}

void ManualClock::advance_us(int64_t us) {
  std::unique_lock<std::mutex> lk(mx_);
  advance_locked(lk, now_ + (us > 0 ? us : 0));
}

bool ManualClock::advance_to_next() {
  std::unique_lock<std::mutex> lk(mx_);
  int64_t next = -1;
  for (auto& [tid, s] : sleepers_)
    if (!s->woken && (next < 0 || s->deadline < next)) next = s->deadline;
  if (next < 0) return false;
  advance_locked(lk, next > now_ ? next : now_);
  return true;
}

size_t ManualClock::sleepers() {
  std::lock_guard<std::mutex> lk(mx_);
  size_t n = 0;
  for (auto& [tid, s] : sleepers_)
    if (!s->woken) ++n;
  return n;
}

bool ManualClock::wait_for_sleepers(size_t n, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lk(mx_);
  return cv_.wait_for(lk, timeout, [&] {
    size_t k = 0;
    for (auto& [tid, s] : sleepers_)
      if (!s->woken) ++k;
    return k >= n;
  });
}

int64_t ManualClock::next_deadline_us() {
  std::lock_guard<std::mutex> lk(mx_);
  int64_t next = -1;
  for (auto& [tid, s] : sleepers_)
    if (!s->woken && (next < 0 || s->deadline < next)) next = s->deadline;
  return next;
}

void ManualClock::drive_from_this_thread(bool on) {
  std::lock_guard<std::mutex> lk(mx_);
  if (on)
    drivers_.insert(std::this_thread::get_id());
  else
    drivers_.erase(std::this_thread::get_id());
}

void ManualClock::set_query_tick_us(int64_t us) {
  std::lock_guard<std::mutex> lk(mx_);
  query_tick_ = us > 0 ? us : 0;
}

void ManualClock::set_settle_timeout(std::chrono::milliseconds t) {
  std::lock_guard<std::mutex> lk(mx_);
  settle_timeout_ = t;
}

ManualClock& install_manual_clock(int64_t start_us) {
  auto* c = new ManualClock(start_us);  // lives until the process ends
  set_clock(c);
  return *c;
}

}  // namespace telvo

void TELVOsleep(int s, int us) {
  telvo::clock().sleep_us(static_cast<int64_t>(s) * 1000000 + us);
}

long TELVOtime() { return static_cast<long>(telvo::clock().now_us() / 1000000); }

long long TELVOtime_ms() { return static_cast<long long>(telvo::clock().now_us() / 1000); }

long long TELVOtime_us() { return static_cast<long long>(telvo::clock().now_us()); }
