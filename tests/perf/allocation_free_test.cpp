// The paths that run all the time allocate nothing: the server loop's fill,
// the copy of a batch, a healthy supervision cycle, an SDO upload.
#include <string>

#include "bare_sdo.h"
#include "canopen_device.h"
#include "perf_fixture.h"

using ntcan_sim::Call;
using vorbel_bench::allocations_on_this_thread;
using vorbel_bench::FieldNode;
using vorbel_bench::NodeField;

TEST_F(PerfTest, OneFillOfAThousandNodesWithTenFramesEachAllocatesNothing) {
  NodeField field(eq_, 1000);
  ASSERT_TRUE(field.refill(1000, 10));
  const long before = allocations_on_this_thread();
  can_looping();
  EXPECT_EQ(allocations_on_this_thread() - before, 0);

  CMSG batch[100];
  for (int k : {0, 19, 20, 999}) {
    int count = 0;
    const long b = allocations_on_this_thread();
    EXPECT_EQ(field.node(k).can_array(batch, &count), 0);
    EXPECT_EQ(allocations_on_this_thread() - b, 0) << "can_array of node " << k;
    EXPECT_EQ(count, 10) << "node " << k;
    EXPECT_EQ(batch[9].id, 0x580 + NodeField::node_id_of(k));
  }
}

TEST_F(PerfTest, AHealthySupervisionCycleQueriesOnceAndAllocatesNothing) {
  NodeField field(eq_, 20);  // one node per line: 20 lines, 20 supervision threads
  settle_supervision(20);
  for (int cycle = 0; cycle < 3; ++cycle) {
    const uint64_t queries = ntcan_sim::calls(Call::Status);
    const auto step = clock_->step();
    ASSERT_TRUE(step.complete);
    EXPECT_EQ(step.threads, 20u);
    EXPECT_EQ(step.allocations, 0) << "cycle " << cycle;
    EXPECT_EQ(ntcan_sim::calls(Call::Status) - queries, 20u) << "one canStatus per line and cycle";
  }
  EXPECT_EQ(log_->count("3. canStatus returned: "), 0u);
}

TEST_F(PerfTest, OnlyTheCycleThatSeesANewBoardStatusBuildsText) {
  NodeField field(eq_, 20);
  settle_supervision(20);
  ntcan_sim::set_board_status(4, 0x40);
  const auto changed = clock_->step();
  ASSERT_TRUE(changed.complete);
  EXPECT_GT(changed.allocations, 0) << "the message of the change is built on line 5's thread";
  EXPECT_EQ(log_->texts("3. canStatus returned: "), std::vector<std::string>{"Line : 5boardstatus: 64"});
  const auto same = clock_->step();
  EXPECT_EQ(same.allocations, 0) << "the status stays 0x40: nothing to say";
  EXPECT_EQ(log_->count("3. canStatus returned: "), 1u);
}

// The simulated node and the driver's hand-over to it allocate on the
// uploading thread; the library adds nothing: an upload through segSdoRead
// allocates exactly what the same round trips made of bare driver calls do.
TEST_F(PerfTest, AnSdoUploadAllocatesNothingBeyondTheDriverAndTheNode) {
  ntcan_sim::set_trace_enabled(false);
  NodeField field(eq_, 1);
  canopen_sim::Device device(0, 1);
  device.set_object(0x2000, 0, "ABCD");
  device.set_object(0x2001, 0, std::string(63, 'v'));
  FieldNode& node = field.node(0);
  for (uint16_t index : {0x2000, 0x2001}) {
    char lib[64] = {};
    char bare[64] = {};
    // The first of each kind warms up the node's and the driver's containers.
    ASSERT_EQ(node.segSdoRead(1, index, 0, lib, 64), 0);
    ASSERT_EQ(vorbel_bench::bare_upload(node.raw_handle(), 1, index, bare, 64), 0);
    long a = allocations_on_this_thread();
    ASSERT_EQ(node.segSdoRead(1, index, 0, lib, 64), 0);
    const long by_library_upload = allocations_on_this_thread() - a;
    a = allocations_on_this_thread();
    ASSERT_EQ(vorbel_bench::bare_upload(node.raw_handle(), 1, index, bare, 64), 0);
    const long by_bare_upload = allocations_on_this_thread() - a;
    EXPECT_EQ(by_library_upload, by_bare_upload) << std::hex << index;
    EXPECT_EQ(std::string(lib), *device.object(index, 0));
  }
}
