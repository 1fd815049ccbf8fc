// The framework clock behind TELVOsleep and TELVOtime, and the clocks that
// tests and demos install in its place.
//
//   real clock     the default: the system clock and real sleeps.
//   scaled clock   real time running `scale` times faster: sleeps last
//                  1/scale of their nominal length and TELVOtime advances
//                  scale seconds per real second. Installed by
//                  telvo::set_time_scale(), or at start-up when the
//                  environment variable TELVO_TIME_SCALE holds a number > 0.
//   ManualClock    time that moves only when a test says so; sleeping
//                  threads wake when the test advances time past their
//                  deadline. Pauses of minutes run in microseconds, and
//                  deterministically.
#ifndef TELVO_CLOCK_H
#define TELVO_CLOCK_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace telvo {

class Clock {
 public:
  virtual ~Clock() = default;
  // Microseconds since the Unix epoch.
  virtual int64_t now_us() = 0;
  // Block the calling thread for us microseconds of this clock's time.
  virtual void sleep_us(int64_t us) = 0;
};

// The clock in use. Never null.
Clock& clock();
// Install a clock; null restores the real clock. The clock must outlive
// every thread that may still sleep on it (in practice: never destroy it).
void set_clock(Clock* c);
// Install a scaled real clock (scale > 0; 1 is the real clock).
void set_time_scale(double scale);

// A clock for tests. Time starts at start_us and moves only by advance()
// (or by the optional tick per query). All operations are thread-safe.
//
// Determinism: advance() moves time from deadline to deadline; at each one it
// wakes the threads whose sleep ends there and waits until each of them has
// gone back to sleep (or has ended) before it moves on, so that when
// advance() returns, every thread it woke has finished reacting. A thread
// that neither sleeps again nor ends within the settle time-out (real time,
// default 2 s) is left running.
class ManualClock : public Clock {
 public:
  static constexpr int64_t kDefaultStart = 1700000000LL * 1000000;  // 2023-11-14

  explicit ManualClock(int64_t start_us = kDefaultStart);
  // Not to be destroyed while any thread may still use it.
  ~ManualClock() override;

  int64_t now_us() override;
  void sleep_us(int64_t us) override;

  // Move time forward by us, waking sleepers on the way (see above).
  void advance_us(int64_t us);
  void advance(std::chrono::microseconds d) { advance_us(d.count()); }
  // Advance to the earliest pending deadline; false when nobody sleeps.
  bool advance_to_next();

  // Number of threads currently sleeping on this clock.
  size_t sleepers();
  // Wait (in real time) until at least n threads sleep on this clock.
  bool wait_for_sleepers(size_t n,
                         std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));
  // Earliest deadline of a sleeper, or -1 when nobody sleeps.
  int64_t next_deadline_us();

  // Sleeps made on the calling thread advance the clock themselves instead
  // of blocking (for a test's main thread that calls code which pauses).
  void drive_from_this_thread(bool on = true);
  // Every now_us() query moves time forward by us (0: off), waking sleepers
  // whose deadline passes but without waiting for them. Lets a loop that
  // polls the clock until a time-out run to its end.
  void set_query_tick_us(int64_t us);
  void set_settle_timeout(std::chrono::milliseconds t);

 private:
  struct Sleeper {
    int64_t deadline;
    bool woken = false;
  };
  void wake_due_locked(bool track);
  void settle_locked(std::unique_lock<std::mutex>& lk);
  void advance_locked(std::unique_lock<std::mutex>& lk, int64_t target);
  void on_thread_exit(std::thread::id id);
  friend struct ClockThreadExitHook;

  std::mutex mx_;
  std::condition_variable cv_;  // wakes sleepers and waiters alike
  int64_t now_;
  int64_t query_tick_ = 0;
  std::chrono::milliseconds settle_timeout_{2000};
  std::multimap<std::thread::id, Sleeper*> sleepers_;
  std::set<std::thread::id> running_;  // woken by advance, not yet settled
  std::set<std::thread::id> drivers_;
};

// Create a manual clock that lives for the rest of the process, install it
// and return it.
ManualClock& install_manual_clock(int64_t start_us = ManualClock::kDefaultStart);

}  // namespace telvo

#endif  // TELVO_CLOCK_H
