// A node's life on a line that goes down and comes back: the line closes
// every handle on it and no closed handle is used again, reattach() brings
// the nodes back, nodes destroyed, moved and reloaded close exactly what they
// opened, followers learn that their master went, a fill override may call
// back into the library, and canline_shutdown() stops everything. The driver
// hands closed handle numbers out again, lowest first, as real drivers do.
#include <gtest/gtest.h>
#include <unistd.h>

#include "bus_fixture.h"
#include "gateway_fixture.h"
#include "test_support.h"

using ntcan_sim::Call;
using ntcan_sim::make_frame;
using testsupport::NodeProbe;
using Ids = std::vector<int32_t>;

namespace {

uint64_t all_calls() {
  uint64_t n = 0;
  for (int c = 0; c < ntcan_sim::kCallCount; ++c) n += ntcan_sim::calls(static_cast<Call>(c));
  return n;
}

class Lifecycle : public testsupport::ReusedHandlesTest {
 protected:
  // Identifiers of the node's batch of the last fill.
  Ids batch(NodeProbe& n) {
    CMSG frames[100];
    int count = 0;
    EXPECT_EQ(n.can_array(frames, &count), 0) << n.basename();
    Ids ids;
    for (int i = 0; i < count; ++i) ids.push_back(frames[i].id);
    return ids;
  }
  size_t open_on(int net) { return ntcan_sim::handles(net).size(); }

  testsupport::FakeGateway gateway_;
};

}  // namespace

TEST_F(Lifecycle, AfterAnOutageTheLinesNodesAreStaleUntilReattachedAndNoClosedHandleIsUsed) {
  auto creator = node_on(1, 5, "CREATOR");
  auto other = node_on(1, 6, "OTHER");
  auto follower = node_on(1, 5, "FOLLOWER");
  ASSERT_EQ(creator->init(0x705), 0);
  ASSERT_EQ(other->init(0x706), 0);
  ASSERT_EQ(follower->init(0x185), 0);  // enabled on its master's handle
  close_line_1_by_supervision();

  // A node on line 2 now gets a number that line 1's nodes held.
  auto elsewhere = node_on(2, 7, "ELSEWHERE");
  ASSERT_EQ(elsewhere->init(0x707), 0);
  const uint64_t calls = all_calls();
  can_looping();
  for (NodeProbe* n : {creator.get(), other.get(), follower.get()}) {
    EXPECT_EQ(n->handle(), -1);
    EXPECT_TRUE(n->handle_stale());
    EXPECT_EQ(n->reset_node(), NTCAN_INVALID_HANDLE);
    EXPECT_EQ(n->reattach(), -1) << "the line is still closed";
  }
  EXPECT_EQ(all_calls() - calls, 1u) << "the fill of ELSEWHERE alone";

  ASSERT_TRUE(run_until([&] { return creator->line()->handle() > 0; }));
  EXPECT_TRUE(creator->handle_stale()) << "a reopen renews the line's own handle only";
  EXPECT_EQ(follower->reattach(), 0) << "it reattaches its master first";
  EXPECT_EQ(other->reattach(), 0);
  EXPECT_EQ(creator->reattach(), 0) << "nothing left to do";
  EXPECT_EQ(follower->raw_handle(), creator->raw_handle());
  EXPECT_EQ(ntcan_sim::enabled_ids(creator->raw_handle()), (Ids{0x185, 0x705}));
  EXPECT_EQ(open_on(0), 3u) << "the line's, the creator's and OTHER's";

  for (int id : {0x185, 0x705, 0x706}) ntcan_sim::inject(0, make_frame(id, {0x05}));
  can_looping();
  EXPECT_EQ(batch(*creator), (Ids{0x185, 0x705}));
  EXPECT_EQ(batch(*follower), (Ids{0x185, 0x705}));
  EXPECT_EQ(batch(*other), Ids{0x706});
  for (NodeProbe* n : {creator.get(), other.get(), follower.get()}) EXPECT_EQ(n->reset_node(), 0);
  EXPECT_TRUE(ntcan_sim::trace(1).empty()) << "nothing of line 1's nodes went out on net 1";
  EXPECT_EQ(ntcan_sim::trace(0).size(), 6u) << "three frames in, three resets out";
}

TEST_F(Lifecycle, DestroyMoveAndReloadCloseExactlyTheHandlesTheNodesOpenedWithTheLineUpOrDown) {
  testsupport::TempDir dir;
  auto creator = node_on(1, 5, "CREATOR");
  ASSERT_EQ(creator->init(0x705), 0);
  for (const bool down : {false, true}) {
    SCOPED_TRACE(down ? "line down" : "line up");
    // Handles of their own: a master, a plain node and a master each for the
    // move and the reload.
    auto master = node_on(1, 6, "MASTER"), plain = node_on(1, 7, "PLAIN");
    auto moved = node_on(1, 8, "MOVED"), reloaded = node_on(1, 9, "RELOADED");
    for (NodeProbe* n : {master.get(), moved.get(), reloaded.get()}) ASSERT_EQ(n->init(0x700 + n->value()->i2_data), 0);
    ASSERT_EQ(plain->init(), 0);
    // A plain node that becomes MASTER's follower gives its own handle up.
    auto joiner = node_on(1, 6, "JOINER");
    ASSERT_EQ(joiner->init(), 0);
    ASSERT_EQ(joiner->init(0x186), 0);
    EXPECT_EQ(open_on(0), 5u);
    if (down) close_line_1_by_supervision(NTCAN_CONTR_OFF_BUS, 2);
    const uint64_t closes = ntcan_sim::calls(Call::Close);
    master.reset();
    plain.reset();
    client_write("MOVED", IIII{1, 10, 0, 0});
    testsupport::write_file(dir.file("conf"), "eq_fct: CANTEST\nRELOADED: \t2  7  0  0\n");
    log_->clear();
    ASSERT_EQ(eq_.load_config(dir.file("conf")), 0);
    EXPECT_TRUE(reloaded->has_changed());
    EXPECT_EQ(log_->count("CANTEST"), 0u) << "a reload is not logged as a client's move";
    EXPECT_EQ(ntcan_sim::calls(Call::Close) - closes, down ? 0u : 4u) << "the line closed them already";
    EXPECT_EQ(open_on(0), down ? 0u : 1u) << "the line's own handle";

    // Off its old line: nothing goes out there for it, and a node of its new
    // address is a master of its own, not its follower.
    EXPECT_EQ(reloaded->reset_node(), NTCAN_INVALID_HANDLE);
    auto newcomer = node_on(2, 7, "NEWCOMER");
    ASSERT_EQ(newcomer->init(0x707), 0);
    EXPECT_EQ(client_int("NEWCOMER.ACTIVE"), 1);
    if (down) {
      ASSERT_TRUE(run_until([&] { return creator->line()->handle() > 0; }));
      ASSERT_EQ(creator->reattach(), 0);
      ASSERT_EQ(open_on(0), 2u) << "the line's and the creator's own";
    }
    ASSERT_EQ(moved->init(0x70A), 0);
    EXPECT_EQ(open_on(0), down ? 3u : 2u);
    moved.reset();
    reloaded.reset();
    EXPECT_EQ(open_on(0), down ? 2u : 1u);
  }
}

TEST_F(Lifecycle, FollowersOfADestroyedMasterGetNoBatchUntilInitialisedAgainAndTheFirstBecomesMaster) {
  auto master = node_on(1, 5, "MASTER");
  auto first = node_on(1, 5, "FIRST");
  auto second = node_on(1, 5, "SECOND");
  for (NodeProbe* n : {master.get(), first.get(), second.get()}) ASSERT_EQ(n->init(0x85), 0);
  CMSG* const old_buffer = master->rx_buffer();
  ntcan_sim::inject(0, make_frame(0x85, {0x10, 0x82}));
  can_looping();
  master.reset();
  for (int turn = 0; turn < 3; ++turn) {
    can_looping();
    CMSG frames[100];
    int count = 0;
    EXPECT_EQ(first->can_array(frames, &count), -1) << "not the last batch again";
    EXPECT_TRUE(first->handle_stale());
    EXPECT_EQ(second->start_node(), NTCAN_INVALID_HANDLE);
  }
  ASSERT_EQ(first->init(0x85), 0);
  ASSERT_EQ(second->init(0x85), 0);
  EXPECT_EQ(client_int("FIRST.ACTIVE"), 1);
  EXPECT_EQ(client_int("SECOND.ACTIVE"), 0);
  EXPECT_EQ(second->rx_buffer(), first->rx_buffer());
  ntcan_sim::inject(0, make_frame(0x85, {0x10, 0x83}));
  can_looping();
  EXPECT_EQ(batch(*second), Ids{0x85});
  // The destroyed master's buffer, which no node points at any more, serves
  // the next master.
  auto next = node_on(1, 6, "NEXT");
  ASSERT_EQ(next->init(0x86), 0);
  EXPECT_EQ(next->rx_buffer(), old_buffer);
}

namespace {
// A device class whose fill looks at its batch, re-addresses, reloads,
// re-registers and re-enables, all on the loop's thread.
class Reentrant : public NodeProbe {
 public:
  using NodeProbe::NodeProbe;
  int can_fill() override {
    const int ret = NodeProbe::can_fill();
    CMSG frames[100];
    int count = 0;
    seen += can_array(frames, &count) == 0 ? count : 0;
    IIII same = *value();
    set_value(&same);
    read();
    init(0x705);
    reattach();
    if (seen > 1) dellist();
    return ret;
  }
  int seen = 0;
};
}  // namespace

TEST_F(Lifecycle, AFillOverrideMayCallBackIntoTheLibraryOnTheLoopsThread) {
  alarm(20);  // a deadlock ends the process instead of hanging the suite
  Reentrant node("REENTRANT", &eq_);
  node.set_address(1, 5);
  ASSERT_EQ(node.init(0x705), 0);
  for (int turn = 0; turn < 3; ++turn) {
    ntcan_sim::inject(0, make_frame(0x705, {0x05}));
    EXPECT_EQ(can_looping(), 0);
  }
  EXPECT_EQ(node.seen, 2) << "filled twice, then it left the loop";
  alarm(0);
}

TEST_F(Lifecycle, ShutdownStopsSupervisionWithinASecondAlsoMidOutageAndNothingReachesTheDriverAfter) {
  gateway_.write_plugin("PeerName[0]=\"127.000.000.001\"\n");
  auto one = node_on(1, 5, "ONE");
  ASSERT_EQ(one->init(0x705), 0);
  // Line 1 goes down and its gateway cannot be reached: reset, 20 s pause.
  ntcan_sim::fail_until_cleared(0, Call::Open, NTCAN_SOCK_CONN_TIMEOUT);
  close_line_1_by_supervision(NTCAN_SOCK_CONN_TIMEOUT);
  ASSERT_TRUE(run_until([&] { return !gateway_.calls().empty(); }));
  advance_s(5);
  // Line 2 is in its 60 s start pause.
  auto two = node_on(2, 7, "TWO");
  ASSERT_EQ(two->init(0x707), 0);
  settle(2);
  advance_s(5);

  const int64_t start = clock_->now_us();
  canline_shutdown();
  EXPECT_LT(clock_->now_us() - start, 1000000);
  EXPECT_EQ(log_->count("can_control", "stop can_control thread"), 2u);
  EXPECT_EQ(open_on(0) + open_on(1), 0u);

  const uint64_t calls = all_calls();
  const size_t logged = log_->entries().size();
  can_looping();
  EXPECT_EQ(one->reattach(), NTCAN_INVALID_HANDLE);
  EXPECT_EQ(two->start_node(), NTCAN_INVALID_HANDLE);
  EXPECT_EQ(two->init(0x707), NTCAN_INVALID_HANDLE);
  one->set_address(3, 1);
  EXPECT_EQ(one->init(0x701), NTCAN_INVALID_HANDLE) << "no line is created";
  canline_shutdown();
  advance_s(600);
  EXPECT_EQ(all_calls(), calls);
  EXPECT_EQ(clock_->sleepers(), 0u);
  EXPECT_EQ(gateway_.calls().size(), 1u);
  EXPECT_EQ(log_->entries().size(), logged + 1) << "the client's move of ONE alone";
}
