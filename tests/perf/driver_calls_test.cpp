// What an operation costs in driver calls and bus frames: one take per
// registered node and pass of the server loop, the minimum number of frames
// for an SDO upload, one attempt of can_poll when the answer is there.
#include <chrono>
#include <string>

#include "bare_sdo.h"
#include "canopen_device.h"
#include "perf_fixture.h"

using ntcan_sim::Call;
using vorbel_bench::FieldNode;
using vorbel_bench::NodeField;

namespace {
uint64_t all_driver_calls() {
  uint64_t n = 0;
  for (int net = 0; net < ntcan_sim::kNetCount; ++net) n += vorbel_bench::driver_calls_on(net);
  return n;
}
}  // namespace

TEST_F(PerfTest, APassOfTheServerLoopMakesOneTakePerRegisteredNodeAndNothingElse) {
  NodeField field(eq_, 1000);
  for (int n : {1, 10, 100, 1000}) {
    field.register_first(n);
    const int waiting = n < 1000 ? n + 1 : n;  // and one node that is not registered
    ASSERT_TRUE(field.refill(waiting, 10));
    const uint64_t takes = ntcan_sim::calls(Call::Take);
    const uint64_t calls = all_driver_calls();
    can_looping();
    EXPECT_EQ(ntcan_sim::calls(Call::Take) - takes, static_cast<uint64_t>(n)) << n << " nodes";
    EXPECT_EQ(all_driver_calls() - calls, static_cast<uint64_t>(n)) << n << " nodes";
    EXPECT_EQ(ntcan_sim::queued(field.handle(n - 1)), 0u) << "the last registered node was filled";
    if (waiting > n) {
      EXPECT_EQ(ntcan_sim::queued(field.handle(n)), 10u) << "a node that is not registered is not filled";
      CMSG drain[100];
      int32_t k = 100;
      canTake(field.handle(n), drain, &k);
    }
  }
}

class SdoFramesTest : public PerfTest {
 protected:
  void SetUp() override {
    PerfTest::SetUp();
    field_ = std::make_unique<NodeField>(eq_, 5);  // node 4: line 5, node id 1
    device_ = std::make_unique<canopen_sim::Device>(4, 1);
    device_->set_object(0x2000, 0, "ABCD");
    device_->set_object(0x2001, 0, std::string(63, 's'));
    ntcan_sim::clear_trace();
  }
  FieldNode& node() { return field_->node(4); }
  std::unique_ptr<NodeField> field_;
  std::unique_ptr<canopen_sim::Device> device_;
};

TEST_F(SdoFramesTest, AnExpeditedUploadIsTwoFramesAndTwoDriverCalls) {
  char buf[64] = {};
  const uint64_t calls = vorbel_bench::driver_calls_on(4);
  ASSERT_EQ(node().segSdoRead(1, 0x2000, 0, buf, 64), 0);
  EXPECT_EQ(std::string(buf), "ABCD");
  EXPECT_EQ(ntcan_sim::trace(4).size(), 2u);
  EXPECT_EQ(vorbel_bench::driver_calls_on(4) - calls, 2u) << "one canSend and one canTake";
}

TEST_F(SdoFramesTest, ASixtyThreeByteUploadIsTwentyFramesAndTwentyDriverCalls) {
  char buf[64] = {};
  const uint64_t sends = ntcan_sim::calls(Call::Send, 4);
  const uint64_t takes = ntcan_sim::calls(Call::Take, 4);
  const uint64_t calls = vorbel_bench::driver_calls_on(4);
  ASSERT_EQ(node().segSdoRead(1, 0x2001, 0, buf, 64), 0);
  EXPECT_EQ(std::string(buf), std::string(63, 's'));
  EXPECT_EQ(ntcan_sim::trace(4).size(), 20u) << "initiate and nine segments, each request and answer";
  EXPECT_EQ(ntcan_sim::calls(Call::Send, 4) - sends, 10u);
  EXPECT_EQ(ntcan_sim::calls(Call::Take, 4) - takes, 10u);
  EXPECT_EQ(vorbel_bench::driver_calls_on(4) - calls, 20u);
}

TEST_F(SdoFramesTest, TheBareYardstickMakesTheSameFramesAndCalls) {
  for (uint16_t index : {0x2000, 0x2001}) {
    ntcan_sim::clear_trace();
    char lib[64] = {};
    const uint64_t c0 = vorbel_bench::driver_calls_on(4);
    ASSERT_EQ(node().segSdoRead(1, index, 0, lib, 64), 0);
    const uint64_t lib_calls = vorbel_bench::driver_calls_on(4) - c0;
    const size_t lib_frames = ntcan_sim::trace(4).size();
    ntcan_sim::clear_trace();
    char bare[64] = {};
    const uint64_t c1 = vorbel_bench::driver_calls_on(4);
    ASSERT_EQ(vorbel_bench::bare_upload(node().raw_handle(), 1, index, bare, 64), 0);
    EXPECT_EQ(vorbel_bench::driver_calls_on(4) - c1, lib_calls);
    EXPECT_EQ(ntcan_sim::trace(4).size(), lib_frames);
    EXPECT_EQ(std::string(bare), std::string(lib));
  }
}

TEST_F(SdoFramesTest, APollAnsweredAtOnceSleepsFiveMillisecondsAndTakesOnce) {
  int ident = 0x601;
  int length = 8;
  unsigned char data[8] = {0x40, 0x08, 0x10, 0x00, 0, 0, 0, 0};
  const uint64_t takes = ntcan_sim::calls(Call::Take, 4);
  const auto t0 = std::chrono::steady_clock::now();
  ASSERT_EQ(node().can_poll(&ident, &length, data), 0);
  const auto elapsed = std::chrono::steady_clock::now() - t0;
  EXPECT_EQ(ident, 0x581);
  EXPECT_EQ(ntcan_sim::calls(Call::Take, 4) - takes, 1u) << "the first attempt finds the answer";
  EXPECT_GE(elapsed, std::chrono::milliseconds(5)) << "the first take comes after the sleep";
  EXPECT_EQ(ntcan_sim::trace(4).size(), 2u);
}
