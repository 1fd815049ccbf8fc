#include "step_clock.h"

#include "counting_allocator.h"

namespace vorbel_bench {

namespace {
thread_local bool t_at_once = false;
thread_local bool t_let_go = false;   // this thread was let go by a step
thread_local long t_woke_at = 0;      // its allocation count when it woke
}  // namespace

void StepClock::run_pauses_at_once() { t_at_once = true; }

int64_t StepClock::now_us() {
  using namespace std::chrono;
  return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

void StepClock::sleep_us(int64_t) {
  if (t_at_once) return;
  std::unique_lock<std::mutex> lk(mx_);
  if (t_let_go) {
    // The pass since the last wake-up ends here.
    step_allocations_ += allocations_on_this_thread() - t_woke_at;
    ++returned_;
  }
  ++parked_;
  cv_.notify_all();
  const uint64_t gen = generation_;
  cv_.wait(lk, [&] { return generation_ != gen; });
  t_let_go = true;
  t_woke_at = allocations_on_this_thread();
}

std::size_t StepClock::sleepers() {
  std::lock_guard<std::mutex> lk(mx_);
  return parked_;
}

bool StepClock::wait_for_sleepers(std::size_t n, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lk(mx_);
  return cv_.wait_for(lk, timeout, [&] { return parked_ >= n; });
}

StepClock::Step StepClock::step(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lk(mx_);
  Step s;
  s.threads = parked_;
  parked_ = 0;
  returned_ = 0;
  step_allocations_ = 0;
  ++generation_;
  cv_.notify_all();
  s.complete = cv_.wait_for(lk, timeout, [&] { return returned_ >= s.threads; });
  s.allocations = step_allocations_;
  return s;
}

StepClock& install_step_clock() {
  auto* c = new StepClock;  // never destroyed: parked threads use it until exit
  telvo::set_clock(c);
  return *c;
}

}  // namespace vorbel_bench
