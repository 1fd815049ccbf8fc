// The SYNC producer: a thread per run that sleeps on the framework clock to
// each deadline and hands the frame to the send function.
#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <thread>
#include <utility>

#include "D_vorbel.h"
#include "services/framework_time.h"

namespace vorbel {

namespace {
constexpr long long kMinPeriodUs = 100;
constexpr long long kMaxPeriodUs = 0xFFFFFFFFLL;
}  // namespace

// One run, shared with its thread. The thread keeps it alive after the
// producer has let go of it, so that a stopped thread can wake at any time
// later and end without touching the producer.
struct SyncProducer::Run {
  std::mutex mx;  // guards everything below
  std::condition_variable idle;
  bool stop = false;
  bool sending = false;
  std::thread::id worker;
  SendFn send;
  SyncSettings settings;
  long long first_deadline_us = 0;
  SyncStats stats;
  long long last_sent_us = -1;
  double interval_sum_us = 0;

  void record(long long sent_us, long long deadline_us, int status) {
    (status == 0 ? stats.sent : stats.failed) += 1;
    stats.last_status = status;
    stats.max_lateness_us = std::max(stats.max_lateness_us, sent_us - deadline_us);
    if (last_sent_us >= 0) {
      const long long interval = sent_us - last_sent_us;
      const bool first = stats.intervals == 0;
      ++stats.intervals;
      interval_sum_us += static_cast<double>(interval);
      stats.mean_interval_us = interval_sum_us / static_cast<double>(stats.intervals);
      stats.min_interval_us = first ? interval : std::min(stats.min_interval_us, interval);
      stats.max_interval_us = first ? interval : std::max(stats.max_interval_us, interval);
      stats.max_jitter_us = std::max(stats.max_jitter_us, std::llabs(interval - settings.period_us));
    }
    last_sent_us = sent_us;
  }

  static void loop(std::shared_ptr<Run> r);
};

void SyncProducer::Run::loop(std::shared_ptr<Run> r) {
  const SyncSettings s = r->settings;  // fixed for the run
  long long deadline = r->first_deadline_us;
  int counter = 0;
  for (;;) {
    for (long long now = framework_time_us(); now < deadline; now = framework_time_us()) {
      framework_sleep_us(deadline - now);
      std::lock_guard<std::mutex> lk(r->mx);
      if (r->stop) return;
    }
    std::unique_lock<std::mutex> lk(r->mx);
    if (r->stop) return;
    const long long now = framework_time_us();
    if (now - deadline >= s.period_us) {
      // Woken a period late or more: the SYNCs due meanwhile are gone; the
      // one due last goes now, and the schedule keeps its phase.
      const long long missed = (now - deadline) / s.period_us;
      r->stats.skipped += static_cast<uint64_t>(missed);
      deadline += missed * s.period_us;
    }
    CMSG m{};
    m.id = s.cob_id;
    if (s.counter_overflow > 0) {
      counter = counter % s.counter_overflow + 1;
      m.len = 1;
      m.data[0] = static_cast<uint8_t>(counter);
    }
    r->sending = true;
    lk.unlock();
    const int status = r->send(m);
    lk.lock();
    r->sending = false;
    r->record(now, deadline, status);
    lk.unlock();
    r->idle.notify_all();
    deadline += s.period_us;
  }
}

SyncProducer::SyncProducer(SendFn send) : send_(std::move(send)) {}

SyncProducer::~SyncProducer() { stop(); }

int SyncProducer::start(const SyncSettings& settings) {
  const int c = settings.counter_overflow;
  if (settings.period_us < kMinPeriodUs || settings.period_us > kMaxPeriodUs || !(c == 0 || (c >= 2 && c <= 240)) ||
      settings.cob_id < 1 || settings.cob_id > 0x7FF || !send_)
    return NTCAN_INVALID_PARAMETER;
  auto r = std::make_shared<Run>();
  r->send = send_;
  r->settings = settings;
  r->first_deadline_us = framework_time_us() + settings.period_us;
  {
    // Held until the worker id is recorded; the thread takes it only after
    // its first sleep.
    std::lock_guard<std::mutex> lk(r->mx);
    std::thread t(&Run::loop, r);
    r->worker = t.get_id();
    t.detach();
  }
  std::shared_ptr<Run> old;
  {
    std::lock_guard<std::mutex> lk(mx_);
    old = std::exchange(run_, r);
  }
  if (old) halt(old);
  return 0;
}

void SyncProducer::halt(const std::shared_ptr<Run>& r) {
  std::unique_lock<std::mutex> lk(r->mx);
  r->stop = true;
  // A stop from the send function itself must not wait for itself.
  if (r->worker != std::this_thread::get_id()) r->idle.wait(lk, [&r] { return !r->sending; });
}

std::shared_ptr<SyncProducer::Run> SyncProducer::current() const {
  std::lock_guard<std::mutex> lk(mx_);
  return run_;  // kept after a stop, for stats()
}

void SyncProducer::stop() {
  if (const std::shared_ptr<Run> r = current()) halt(r);
}

bool SyncProducer::running() const {
  const std::shared_ptr<Run> r = current();
  if (!r) return false;
  std::lock_guard<std::mutex> lk(r->mx);
  return !r->stop;
}

SyncSettings SyncProducer::settings() const {
  const std::shared_ptr<Run> r = current();
  return r ? r->settings : SyncSettings{};  // fixed for the run
}

SyncStats SyncProducer::stats() const {
  const std::shared_ptr<Run> r = current();
  if (!r) return SyncStats{};
  std::lock_guard<std::mutex> lk(r->mx);
  return r->stats;
}

}  // namespace vorbel
