// Bus time on the framework stand-in's manual clock, for tests of the
// simulated driver with bus timing on: frames take their time in bits, and
// the test (or a thread that drives the clock) moves time.
#ifndef VORBEL_BUS_CLOCK_H
#define VORBEL_BUS_CLOCK_H

#include <algorithm>
#include <cstdint>
#include <thread>

#include "ntcan_sim.h"
#include "telvo_clock.h"

namespace testsupport {

// Installs itself as the driver's bus clock and turns bus timing on; the
// destructor turns both off.
class ManualBusClock : public ntcan_sim::BusClock {
 public:
  explicit ManualBusClock(telvo::ManualClock& clock) : clock_(clock) {
    ntcan_sim::set_bus_clock(this);
    ntcan_sim::set_bus_timing(true);
  }
  ~ManualBusClock() override {
    ntcan_sim::set_bus_timing(false);
    ntcan_sim::set_bus_clock(nullptr);
  }
  ManualBusClock(const ManualBusClock&) = delete;
  ManualBusClock& operator=(const ManualBusClock&) = delete;

  // This thread's canRead waits and framework pauses move time.
  void drive_from_this_thread() {
    driver_ = std::this_thread::get_id();
    clock_.drive_from_this_thread();
  }
  // Moves time forward by us, stopping at every delivery and every wake-up
  // of a thread sleeping on the clock on the way.
  void advance_us(int64_t us) {
    const int64_t target = clock_.now_us() + us;
    do step(target);
    while (clock_.now_us() < target);
  }
  int64_t now_us() override { return clock_.now_us(); }
  bool wait_until_us(int64_t until_us) override {
    if (std::this_thread::get_id() != driver_) return false;
    step(until_us);
    return true;
  }

 private:
  void step(int64_t until_us) {
    int64_t to = until_us;
    const int64_t delivery = ntcan_sim::next_bus_event_us();
    if (delivery >= 0) to = std::min(to, delivery);
    const int64_t wake = clock_.next_deadline_us();
    if (wake >= 0) to = std::min(to, wake);
    const int64_t now = clock_.now_us();
    if (to > now) clock_.advance_us(to - now);
    ntcan_sim::bus_clock_moved();
  }

  telvo::ManualClock& clock_;
  std::thread::id driver_;
};

}  // namespace testsupport

#endif  // VORBEL_BUS_CLOCK_H
