// The paths that run all the time allocate nothing, and operations make the
// driver calls and bus frames they must, no more. The framework clock is the
// StepClock: the test thread's pauses return at once, and the supervision
// threads run one cycle per step.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "D_vorbel.h"
#include "bare_sdo.h"
#include "canopen_device.h"
#include "counting_allocator.h"
#include "node_field.h"
#include "ntcan_sim.h"
#include "step_clock.h"
#include "telvo_log.h"
#include "thread_cpu.h"

using ntcan_sim::Call;
using vorbel_bench::allocations_on_this_thread;
using vorbel_bench::driver_calls_on;
using vorbel_bench::NodeField;

class PerfTest : public testing::Test {
 protected:
  void SetUp() override {
    clock_ = &vorbel_bench::install_step_clock();
    vorbel_bench::StepClock::run_pauses_at_once();
    ntcan_sim::reset();
    log_ = std::make_unique<telvo::LogCapture>();
  }
  vorbel_bench::StepClock* clock_ = nullptr;
  std::unique_ptr<telvo::LogCapture> log_;
  EqFct eq_{"PERFTEST"};
};

TEST_F(PerfTest, APassOfTheServerLoopTakesOncePerRegisteredNodeAndTheFillAndCopyAllocateNothing) {
  NodeField field(eq_, 1000);
  auto all_driver_calls = [] {
    uint64_t n = 0;
    for (int net = 0; net < ntcan_sim::kNetCount; ++net) n += driver_calls_on(net);
    return n;
  };
  for (int n : {1, 10, 100, 1000}) {
    field.register_first(n);
    can_looping();  // the first pass after registrations renews the loop's copy of the registry
    const int waiting = std::min(n + 1, 1000);  // and one node that is not registered
    ASSERT_TRUE(field.refill(waiting, 10));
    const uint64_t takes = ntcan_sim::calls(Call::Take), calls = all_driver_calls();
    long allocations = allocations_on_this_thread();
    can_looping();
    EXPECT_EQ(allocations_on_this_thread() - allocations, 0) << n << " nodes";
    EXPECT_EQ(ntcan_sim::calls(Call::Take) - takes, static_cast<uint64_t>(n)) << n << " nodes";
    EXPECT_EQ(all_driver_calls() - calls, static_cast<uint64_t>(n)) << "nothing but takes";
    EXPECT_EQ(ntcan_sim::queued(field.handle(waiting - 1)), waiting > n ? 10u : 0u) << "only registered nodes fill";

    CMSG batch[100];
    int count = 0;
    allocations = allocations_on_this_thread();
    EXPECT_EQ(field.node(n - 1).can_array(batch, &count), 0);
    EXPECT_EQ(allocations_on_this_thread() - allocations, 0) << "can_array of node " << n - 1;
    EXPECT_EQ(count, 10) << "the last registered node was filled";
    EXPECT_EQ(batch[9].id, 0x580 + NodeField::node_id_of(n - 1));
  }

  // supervise: a batch without a state frame, one with a boot-up and a
  // heartbeat (a new text), and a node lost (the real clock moves 2 ms past
  // the 1 ms time-out).
  D_Alive& alive = *field.node(0).alive_;
  alive.consumer_timeout_ms(1);
  CMSG batch[100] = {ntcan_sim::make_frame(0x581, {0x43}), ntcan_sim::make_frame(0x701, {0x00}),
                     ntcan_sim::make_frame(0x701, {0x05})};
  int one = 1, three = 3, none = 0;
  const long allocations = allocations_on_this_thread();
  EXPECT_EQ(alive.supervise(1, batch, &one), 0);
  EXPECT_EQ(alive.supervise(1, batch, &three), 100);
  std::this_thread::sleep_for(std::chrono::milliseconds(2));
  EXPECT_EQ(alive.supervise(1, batch, &none), 0);
  EXPECT_TRUE(alive.lost() && alive.booted());
  EXPECT_EQ(allocations_on_this_thread() - allocations, 0) << "supervise";
}

TEST_F(PerfTest, AHealthySupervisionCycleQueriesOnceAndAllocatesNothingOnlyANewStatusBuildsText) {
  NodeField field(eq_, 20);  // one node per line: 20 lines, 20 supervision threads
  // The threads pause in half-second steps: a 1 s cycle is two steps. Past
  // their start pause and first status query, the cycles follow.
  ASSERT_TRUE(clock_->wait_for_sleepers(20));
  while (ntcan_sim::calls(Call::Status) < 20) ASSERT_TRUE(clock_->step().complete);
  const auto cycle = [this] {
    long allocations = 0;
    for (int half = 0; half < 2; ++half) {
      const auto step = clock_->step();
      EXPECT_TRUE(step.complete && step.threads == 20u);
      allocations += step.allocations;
    }
    return allocations;
  };
  for (int n = 0; n < 3; ++n) {
    const uint64_t queries = ntcan_sim::calls(Call::Status);
    EXPECT_EQ(cycle(), 0) << "cycle " << n;
    EXPECT_EQ(ntcan_sim::calls(Call::Status) - queries, 20u) << "one canStatus per line and cycle";
  }
  ntcan_sim::set_board_status(4, 0x40);
  EXPECT_GT(cycle(), 0) << "the message of the change is built on line 5's thread";
  EXPECT_EQ(cycle(), 0) << "the status stays 0x40: nothing to say";
  EXPECT_EQ(log_->texts("3. canStatus returned: "), std::vector<std::string>{"Line : 5boardstatus: 64"});
}

// Node 4 of the field (line 5, node id 1) asks a simulated device.
TEST_F(PerfTest, SdoRoundTripsMakeTheFewestFramesAndDriverCallsAndAllocateNothingOfTheirOwn) {
  NodeField field(eq_, 5);
  vorbel_bench::FieldNode& node = field.node(4);
  canopen_sim::Device device(4, 1);
  const struct {
    uint16_t index;
    std::string value;
    uint64_t frames;  // expedited: request and answer; else initiate and 9 segments, each both
  } uploads[] = {{0x2000, "ABCD", 2}, {0x2001, std::string(63, 's'), 20}};
  for (const auto& up : uploads) {
    device.set_object(up.index, 0, up.value);
    char lib[64] = {}, bare[64] = {};
    // The first of each kind warms up the node's and the driver's containers;
    // the trace, off, would allocate as it grows.
    ntcan_sim::set_trace_enabled(false);
    ASSERT_EQ(vorbel_bench::bare_upload(node.raw_handle(), 1, up.index, bare, 64), 0);
    ASSERT_EQ(node.segSdoRead(1, up.index, 0, lib, 64), 0);
    long allocations = allocations_on_this_thread();
    ASSERT_EQ(vorbel_bench::bare_upload(node.raw_handle(), 1, up.index, bare, 64), 0);
    const long by_bare_upload = allocations_on_this_thread() - allocations;
    EXPECT_GT(by_bare_upload, 0) << "the driver's hand-over to the device allocates: the count is live";
    allocations = allocations_on_this_thread();
    ASSERT_EQ(node.segSdoRead(1, up.index, 0, lib, 64), 0);
    EXPECT_EQ(allocations_on_this_thread() - allocations, by_bare_upload) << "the library adds none";

    ntcan_sim::set_trace_enabled(true);
    ntcan_sim::clear_trace();
    const uint64_t sends = ntcan_sim::calls(Call::Send, 4), takes = ntcan_sim::calls(Call::Take, 4);
    const uint64_t calls = driver_calls_on(4);
    ASSERT_EQ(node.segSdoRead(1, up.index, 0, lib, 64), 0);
    EXPECT_EQ(std::string(lib), up.value);
    EXPECT_EQ(ntcan_sim::trace(4).size(), up.frames);
    EXPECT_EQ(ntcan_sim::calls(Call::Send, 4) - sends, up.frames / 2);
    EXPECT_EQ(ntcan_sim::calls(Call::Take, 4) - takes, up.frames / 2);
    EXPECT_EQ(driver_calls_on(4) - calls, up.frames) << "nothing but sends and takes";

    // The same value downloaded: as many frames, and calls.
    device.set_object(0x2100, 0, "");
    ntcan_sim::clear_trace();
    const uint64_t download_calls = driver_calls_on(4);
    const auto* value = reinterpret_cast<const unsigned char*>(up.value.data());
    ASSERT_EQ(node.sdo_download(0x2100, 0, value, static_cast<int>(up.value.size())), 0);
    EXPECT_EQ(device.object(0x2100, 0), up.value);
    EXPECT_EQ(ntcan_sim::trace(4).size(), up.frames);
    EXPECT_EQ(driver_calls_on(4) - download_calls, up.frames);
  }

  // A poll answered at once: one take, after the first 5 ms pause.
  int ident = 0x601, length = 8;
  unsigned char data[8] = {0x40, 0x00, 0x20, 0x00, 0, 0, 0, 0};
  const uint64_t takes = ntcan_sim::calls(Call::Take, 4);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(node.can_poll(&ident, &length, data), 0);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(5));
  EXPECT_EQ(ident, 0x581);
  EXPECT_EQ(ntcan_sim::calls(Call::Take, 4) - takes, 1u);
}

// On the real clock: a node that never answers costs a wait of 300 ms, not
// 300 ms of CPU.
TEST_F(PerfTest, AWaitForASilentNodeSleepsInsteadOfSpinning) {
  NodeField field(eq_, 1);
  vorbel_bench::FieldNode& node = field.node(0);
  telvo::set_clock(nullptr);
  node.sdo_timeout_ms(300);
  const auto cpu_ms = [] { return 1e3 * vorbel_bench::thread_cpu_s(); };
  unsigned char buf[8];
  int len = 0;
  const double cpu0 = cpu_ms();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(node.sdo_upload(0x1008, 0, buf, 8, &len), -1);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
  EXPECT_LT(cpu_ms() - cpu0, 30.0);
  telvo::set_clock(clock_);
}
