// Fixture of the performance-constraint tests: the StepClock as framework
// clock (the test thread's pauses return at once, the supervision threads
// run one cycle per step), a fresh driver simulation and a captured log.
#ifndef VORBEL_PERF_FIXTURE_H
#define VORBEL_PERF_FIXTURE_H

#include <gtest/gtest.h>

#include <memory>

#include "D_vorbel.h"
#include "counting_allocator.h"
#include "node_field.h"
#include "ntcan_sim.h"
#include "step_clock.h"
#include "telvo_log.h"

class PerfTest : public testing::Test {
 protected:
  void SetUp() override {
    clock_ = &vorbel_bench::install_step_clock();
    vorbel_bench::StepClock::run_pauses_at_once();
    ntcan_sim::reset();
    log_ = std::make_unique<telvo::LogCapture>();
  }

  // The supervision threads of `lines` lines past their start pause and
  // their first status query: from here on each step is one cycle.
  void settle_supervision(size_t lines) {
    ASSERT_TRUE(clock_->wait_for_sleepers(lines));
    for (int i = 0; i < 2; ++i) ASSERT_TRUE(clock_->step().complete);
    ASSERT_EQ(clock_->sleepers(), lines);
  }

  vorbel_bench::StepClock* clock_ = nullptr;
  std::unique_ptr<telvo::LogCapture> log_;
  EqFct eq_{"PERFTEST"};
};

#endif  // VORBEL_PERF_FIXTURE_H
