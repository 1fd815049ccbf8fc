// Frame operations of one node: polling for a reply, bad lengths, a closed
// line, the initialisation forms and overrides in derived classes.
#include <gtest/gtest.h>

#include <atomic>

#include "bus_fixture.h"

using ntcan_sim::Call;
using ntcan_sim::make_frame;
using testsupport::BusTest;
using testsupport::NodeProbe;

namespace {

// A device on net 0 that answers SDO requests to node 5 on `reply_id`,
// after some unrelated traffic.
struct SdoResponder {
  explicit SdoResponder(int reply_id)
      : id(ntcan_sim::attach(0, "node 5", [reply_id](const ntcan_sim::BusFrame& f) {
          if (f.msg.id != 0x605) return;
          ntcan_sim::inject(0, make_frame(0x705, {0x05}), "node 5");
          ntcan_sim::inject(0, make_frame(reply_id, {0x43, f.msg.data[1], f.msg.data[2], f.msg.data[3], 0x11, 0x22, 0x33, 0x44}),
                            "node 5");
        })) {}
  ~SdoResponder() { ntcan_sim::detach(id); }
  int id;
};

}  // namespace

// Fifty unanswered attempts: the fault matrix (every take of a poll failing).
TEST_F(BusTest, APollIsAnsweredByTheFrameWithTheRequestsMultiplexerWhateverItsIdentifier) {
  auto node = node_on(1, 5);
  ASSERT_EQ(node->init(0x585), 0);
  ASSERT_EQ(node->AddIdent(0x705), 0);
  ASSERT_EQ(node->AddIdent(0x595), 0);
  for (int reply_id : {0x585, 0x595}) {
    SdoResponder device(reply_id);
    int ident = 0x605, length = 8;
    unsigned char data[8] = {0x40, 0x08, 0x10, 0x00, 1, 2, 3, 4};
    EXPECT_EQ(node->can_poll(&ident, &length, data), 0);
    EXPECT_EQ(ident, reply_id) << "the identifier is not compared";
    EXPECT_EQ(length, 8);
    EXPECT_EQ(std::vector<unsigned char>(data, data + 8),
              (std::vector<unsigned char>{0x43, 0x08, 0x10, 0x00, 0x11, 0x22, 0x33, 0x44}));
    EXPECT_EQ(node->can_return(), 0);
    EXPECT_EQ(ntcan_sim::queued(node->raw_handle()), 0u) << "the heartbeat in front was taken and dropped";
  }
}

TEST_F(BusTest, DataLengthsOutsideZeroToEightAreRefusedBeforeAnythingIsSent) {
  auto node = node_on(1, 5);
  ASSERT_EQ(node->init(), 0);
  unsigned char data[16] = {};
  EXPECT_EQ(node->can_write(0x100, 9, data), NTCAN_INVALID_PARAMETER);
  EXPECT_EQ(node->can_write(0x100, -1, data), NTCAN_INVALID_PARAMETER);
  EXPECT_EQ(node->can_write(0x100, 4, nullptr), NTCAN_INVALID_PARAMETER);
  int ident = 0x605, length = 12;
  EXPECT_EQ(node->can_poll(&ident, &length, data), NTCAN_INVALID_PARAMETER);
  EXPECT_EQ(ntcan_sim::calls(Call::Send), 0u);
  EXPECT_EQ(node->can_write(0x100, 0, nullptr), 0);
  EXPECT_EQ(node->can_write(0x100, 8, data), 0);
}

// The server loop's fill of such a node: the fault matrix (a new line's open failing).
TEST_F(BusTest, OnAClosedLineEveryOperationAnswers77WithoutADriverCall) {
  ntcan_sim::fail_next(0, Call::Open, NTCAN_SOCK_CONN_TIMEOUT);
  auto node = node_on(1, 5);
  EXPECT_EQ(node->init(0x585), NTCAN_SOCK_CONN_TIMEOUT);
  EXPECT_EQ(node->isactive(), true) << "registered all the same";
  const uint64_t sends = ntcan_sim::calls(Call::Send), takes = ntcan_sim::calls(Call::Take),
                 reads = ntcan_sim::calls(Call::Read);
  unsigned char data[8] = {0x40, 0x08, 0x10, 0, 0, 0, 0, 0};
  int ident = 0x605, length = 8;
  CMSG frames[100];
  int n = 100;
  EXPECT_EQ(node->can_write(0x605, 8, data), 77);
  EXPECT_EQ(node->can_poll(&ident, &length, data), 77);
  EXPECT_EQ(node->rtr(), 77);
  EXPECT_EQ(node->rtr(&ident), 77);
  EXPECT_EQ(node->rtr(&ident, 2), 77);
  EXPECT_EQ(node->start_node(), 77);
  EXPECT_EQ(node->stop_node(), 77);
  EXPECT_EQ(node->reset_node(), 77);
  EXPECT_EQ(node->preop_node(), 77);
  EXPECT_EQ(node->reset_comm_node(), 77);
  EXPECT_EQ(node->can_SDO(0x1008, 0), 77);
  EXPECT_EQ(node->can_read(frames, &n), 77);
  EXPECT_EQ(n, -1);
  n = 100;
  EXPECT_EQ(node->can_get(frames, &n), 77);
  EXPECT_EQ(n, -1);
  EXPECT_EQ(ntcan_sim::calls(Call::Send), sends);
  EXPECT_EQ(ntcan_sim::calls(Call::Take), takes);
  EXPECT_EQ(ntcan_sim::calls(Call::Read), reads);
}

// The registering form, three times for one node: the server scenarios.
TEST_F(BusTest, TheInitialisationFormsCheckTheLineAndEnableTheirIdentifiers) {
  auto node = node_on(1, 5);
  node->set_address(1, 5, 0x181, 0x281);
  ASSERT_EQ(node->init(), 0);
  EXPECT_EQ(ntcan_sim::enabled_ids(node->raw_handle()), (std::vector<int32_t>{5, 0x181, 0x281}));
  EXPECT_EQ(node->alive_->value(), 0) << "an alive cell of its own, not registered";
  EXPECT_FALSE(node->isactive());
  EXPECT_EQ(node->init(0x181, 1), 0) << "already enabled counts as success";

  for (int line : {0, 21}) {
    auto off = node_on(line, 5);
    EXPECT_EQ(off->init(), -1);
    EXPECT_EQ(off->init(0x585), -1);
    EXPECT_EQ(off->init(0x585, 1), -1);
    EXPECT_EQ(off->init(0x585, 0), 0);
    EXPECT_EQ(off->line(), nullptr);
  }
  EXPECT_EQ(ntcan_sim::calls(Call::Open), 1u);
}

namespace {

// A device class that counts the calls the library makes through the
// virtual table.
class CountingNode : public NodeProbe {
 public:
  using NodeProbe::NodeProbe;
  int can_fill() override {
    ++fills;
    return NodeProbe::can_fill();
  }
  int can_get(CMSG* m, int* l) override {
    ++gets;
    return NodeProbe::can_get(m, l);
  }
  int can_write(int ident, int length, unsigned char* data) override {
    ++writes;
    return NodeProbe::can_write(ident, length, data);
  }
  void set_value(IIII* s) override {
    ++sets;
    NodeProbe::set_value(s);
  }
  std::atomic<int> fills{0}, gets{0}, writes{0}, sets{0};
};

}  // namespace

TEST_F(BusTest, OverridesInADerivedNodeTakeEffectInsideTheLibrary) {
  CountingNode node("COUNTED", &eq_);
  node.set_address(1, 5);
  EXPECT_EQ(node.sets, 1);
  ASSERT_EQ(node.init(0x585), 0);
  can_looping();
  EXPECT_EQ(node.fills, 1);
  EXPECT_EQ(node.gets, 1);
  EXPECT_EQ(node.can_SDO(0x1008, 0), 0);
  EXPECT_EQ(node.writes, 1);
  EqData in;
  in.set(IIII{1, 5, 1, 0});
  eq_.client_set("COUNTED", in);
  EXPECT_EQ(node.sets, 2);
  const auto t = ntcan_sim::trace(0);
  ASSERT_FALSE(t.empty());
  EXPECT_EQ(t.back().frame.msg.id, 0x605);
  EXPECT_EQ(std::vector<uint8_t>(t.back().frame.msg.data, t.back().frame.msg.data + 8),
            (std::vector<uint8_t>{0x40, 0x08, 0x10, 0x00, 0, 0, 0, 0}));
}
