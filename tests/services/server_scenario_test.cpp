// Scenarios as a server runs them: nodes constructed in an equipment
// function, addressed from the configuration file, initialised by device
// code, fed by the simulated bus, polled by the server loop, read and
// commanded by clients.
#include <gtest/gtest.h>

#include "bus_fixture.h"
#include "frame_table.h"
#include "test_support.h"

using ntcan_sim::Call;
using ntcan_sim::make_frame;
using testsupport::BusTest;
using testsupport::frame_table;
using testsupport::NodeProbe;

namespace {

class ServerTest : public BusTest {
 protected:
  void SetUp() override {
    BusTest::SetUp();
    testsupport::write_file(dir_.file("srv.conf"),
                            "eq_fct: CANTEST\n"
                            "MOTOR: \t1  5  0  0\n"
                            "MOTOR_VIEW: \t1  5  0  0\n"
                            "VALVE: \t2  7  0  0\n");
    motor_ = std::make_unique<NodeProbe>("MOTOR drive", &eq_);
    view_ = std::make_unique<NodeProbe>("MOTOR_VIEW second view of the drive", &eq_);
    valve_ = std::make_unique<NodeProbe>("VALVE", &eq_);
    std::string err;
    ASSERT_EQ(eq_.load_config(dir_.file("srv.conf"), &err), 0) << err;
    // Device code as a server writes it.
    for (NodeProbe* n : {motor_.get(), valve_.get()}) {
      const int id = n->value()->i2_data;
      ASSERT_EQ(n->init(0x580 + id), 0);
      ASSERT_EQ(n->init_emergency(), 0);
      ASSERT_EQ(n->init(0x700 + id), 0);
    }
    ASSERT_EQ(view_->init(0x705), 0);
    ntcan_sim::clear_trace();
  }

  // One turn of the server loop for a node: fill, copy, recognise.
  int server_turn(NodeProbe& n, int* emergencies = nullptr) {
    can_looping();
    CMSG batch[100];
    int count = 0;
    EXPECT_EQ(n.can_array(batch, &count), 0);
    const int id = n.value()->i2_data;
    if (emergencies) *emergencies += n.can_emergency(id, batch, &count) == 100;
    n.alive_->check_alive(id, batch, &count);
    return count;
  }

  testsupport::TempDir dir_;
  std::unique_ptr<NodeProbe> motor_, view_, valve_;
};

}  // namespace

TEST_F(ServerTest, AMasterAndItsFollowerShareOneBufferOneEntryAndOneHandle) {
  EXPECT_EQ(client_int("MOTOR.ACTIVE"), 1);
  EXPECT_EQ(client_int("MOTOR_VIEW.ACTIVE"), 0);
  EXPECT_EQ(view_->rx_buffer(), motor_->rx_buffer());
  EXPECT_EQ(view_->alive_cell(), motor_->alive_cell());
  EXPECT_EQ(view_->raw_handle(), motor_->raw_handle());
  EXPECT_EQ(ntcan_sim::enabled_ids(motor_->raw_handle()), (std::vector<int32_t>{0x085, 0x585, 0x705}));
  EXPECT_EQ(client_int("MOTOR.ALIVE"), 15);
  EXPECT_EQ(client_text("MOTOR.CONDITION"), "Preoperational");

  // The follower's batch is the master's, and so is the alive value it sets.
  ntcan_sim::inject(0, make_frame(0x705, {0x05}), "node 5");
  ntcan_sim::inject(0, make_frame(0x706, {0x05}), "node 6");  // not enabled
  EXPECT_EQ(server_turn(*view_), 1);
  EXPECT_EQ(client_int("MOTOR.ALIVE"), 5);
  EXPECT_EQ(client_int("MOTOR_VIEW.ALIVE"), 5);

  // Destroying the follower forgets the master's objects and closes nothing.
  const uint64_t closes = ntcan_sim::calls(Call::Close);
  view_.reset();
  EXPECT_EQ(ntcan_sim::calls(Call::Close), closes);
  EXPECT_EQ(server_turn(*motor_), 0);
}

TEST_F(ServerTest, HeartbeatsGuardingAndEmergenciesReachTheClientsProperties) {
  // Boot-up, then an emergency and a heartbeat in one batch.
  ntcan_sim::inject(1, make_frame(0x707, {0x00}), "node 7");
  EXPECT_EQ(server_turn(*valve_), 1);
  EXPECT_EQ(client_int("VALVE.ALIVE"), 0);
  EXPECT_EQ(client_text("VALVE.CONDITION"), "Preoperational") << "only an operational state sets the text";

  ntcan_sim::inject(1, make_frame(0x087, {0x10, 0x82, 0x01, 0, 0, 0, 0, 0}), "node 7");
  ntcan_sim::inject(1, make_frame(0x087, {0xFF}), "node 7");  // a second one in the batch is passed over
  ntcan_sim::inject(1, make_frame(0x707, {0x85}), "node 7");   // guarding answer, toggle set
  int emergencies = 0;
  EXPECT_EQ(server_turn(*valve_, &emergencies), 3);
  EXPECT_EQ(emergencies, 1);
  EXPECT_EQ(log_->texts("D_can::can_emergency"), std::vector<std::string>{"0x10 0x82 0x1 0x0 0x0 0x0 0x0 0x0 "});
  EXPECT_EQ(client_int("VALVE.ALIVE"), 0x85);
  EXPECT_EQ(client_text("VALVE.CONDITION"), "Operational");
  EXPECT_TRUE(valve_->alive_->isalive()) << "whatever the toggle";

  // The node stops: the value follows, the text stays until set again.
  ntcan_sim::inject(1, make_frame(0x707, {0x04}), "node 7");
  server_turn(*valve_);
  EXPECT_EQ(client_int("VALVE.ALIVE"), 4);
  EXPECT_FALSE(valve_->alive_->isalive());
  EXPECT_EQ(client_text("VALVE.CONDITION"), "Operational");
  valve_->alive_->set_value(valve_->alive_->value());
  EXPECT_EQ(client_text("VALVE.CONDITION"), "Stopped");

  // The node-guarding request goes out as a remote frame.
  ntcan_sim::clear_trace();
  EXPECT_EQ(valve_->rtr(), 0);
  int id = 0x123;
  EXPECT_EQ(valve_->rtr(&id, 3), 0);
  EXPECT_EQ(frame_table(1), (std::vector<std::string>{"-> 707: R", "-> 123: R"}));
  EXPECT_EQ(ntcan_sim::trace(1).back().frame.msg.len, 0x13);
}

TEST_F(ServerTest, ClientCommandWritesSendOneNmtFrameWhateverTheValue) {
  client_write("MOTOR.STOP", 42);
  client_write("MOTOR.START", 0);
  client_write("MOTOR.RESET", 1);
  client_write("MOTOR_VIEW.STOP", 7);
  // Device code's two further commands: pre-operational, reset communication.
  EXPECT_EQ(motor_->preop_node(), 0);
  EXPECT_EQ(motor_->reset_comm_node(), 0);
  EXPECT_EQ(frame_table(0), (std::vector<std::string>{"-> 000: 02 05", "-> 000: 01 05", "-> 000: 81 05",
                                                       "-> 000: 02 05", "-> 000: 80 05", "-> 000: 82 05"}));
  EXPECT_EQ(client_int("MOTOR.STOP"), 42);

  // A command property with another code only keeps the value.
  D_canint spare("MOTOR.SPARE", 3, motor_.get(), &eq_);
  spare.set_value(9);
  EXPECT_EQ(frame_table(0).size(), 6u);

  // The master flag is not the clients' to set: their write fails.
  EqData one;
  one.set(1);
  EXPECT_EQ(eq_.client_set("MOTOR_VIEW.ACTIVE", one), NTCAN_INVALID_PARAMETER);
  EXPECT_EQ(client_int("MOTOR_VIEW.ACTIVE"), 0);
  EXPECT_EQ(log_->count("MOTOR_VIEW.ACTIVE"), 1u);
}

TEST_F(ServerTest, AClientMovingAMasterTakesItOffTheLoopUntilDeviceCodeInitialisesItForItsNewAddress) {
  client_write("MOTOR", IIII{1, 6, 0, 0});
  EXPECT_TRUE(motor_->has_changed());
  EXPECT_EQ(motor_->raw_handle(), -1);
  EXPECT_EQ(client_int("MOTOR.ACTIVE"), 0) << "the flag goes with the buffers";
  // Its follower is left as that of a destroyed master (the lifecycle tests
  // follow it further): no batch, rather than the last one again.
  can_looping();
  CMSG batch[100];
  int count = 0;
  EXPECT_EQ(view_->can_array(batch, &count), -1);

  ASSERT_EQ(motor_->init(0x706), 0);
  EXPECT_EQ(client_int("MOTOR.ACTIVE"), 1);
  ntcan_sim::inject(0, make_frame(0x706, {0x7F}));
  EXPECT_EQ(server_turn(*motor_), 1);
  EXPECT_EQ(client_int("MOTOR.ALIVE"), 0x7F);
}

TEST_F(ServerTest, AFormerMasterMovedOntoAnotherMastersAddressBecomesItsFollower) {
  // PUMP is master of line 2 / node 8 with a handle of its own (VALVE created
  // line 2 and holds the line's handle).
  auto pump = node_on(2, 8, "PUMP");
  ASSERT_EQ(pump->init(0x588), 0);
  const NTCAN_HANDLE pump_handle = pump->raw_handle();
  ASSERT_NE(pump_handle, valve_->raw_handle());

  // A client moves the motor, master of 1/5, onto PUMP's address; device
  // code initialises it there.
  client_write("MOTOR", IIII{2, 8, 1, 0});
  ASSERT_EQ(motor_->init(0x708), 0);
  EXPECT_EQ(client_int("MOTOR.ACTIVE"), 0) << "it no longer owns buffers or a handle";
  EXPECT_EQ(motor_->raw_handle(), pump_handle);
  EXPECT_EQ(motor_->rx_buffer(), pump->rx_buffer());

  // Moving it on closes nothing of PUMP's, which stays polled.
  client_write("MOTOR", IIII{2, 9, 0, 0});
  EXPECT_TRUE(ntcan_sim::handle_info(pump_handle)->open);
  ntcan_sim::inject(1, make_frame(0x708, {0x05}), "node 8");
  EXPECT_EQ(server_turn(*pump), 1);
  EXPECT_EQ(client_int("PUMP.ALIVE"), 5);
}

TEST_F(ServerTest, OnlyAMasterDisablesIdentifiersAndLeavesTheRegistry) {
  EXPECT_EQ(view_->DelIdent(0x705), 0);
  EXPECT_EQ(view_->dellist(), 0);
  EXPECT_EQ(ntcan_sim::enabled_ids(motor_->raw_handle()), (std::vector<int32_t>{0x085, 0x585, 0x705}));
  EXPECT_EQ(motor_->DelIdent(0x085), 0);
  EXPECT_EQ(motor_->DelIdent(0x085), NTCAN_ID_NOT_ENABLED);
  // The motor leaves the loop; the valve, registered after it, stays.
  EXPECT_EQ(motor_->dellist(), 0);
  ntcan_sim::inject(0, make_frame(0x705, {0x05}));
  ntcan_sim::inject(1, make_frame(0x707, {0x05}));
  can_looping();
  EXPECT_EQ(*valve_->rx_count(), 1);
  EXPECT_EQ(ntcan_sim::queued(motor_->raw_handle()), 1u);
}

TEST_F(ServerTest, TheDebugBitPrintsTheSelectedNodesFrames) {
  NodeProbe::debug_selector()->set_value(IIII{1, 5, 0, 99});  // the fourth value is not compared
  ASSERT_EQ(motor_->init(0x185), 0);
  auto deliver = [] {
    ntcan_sim::inject(0, make_frame(0x185, {0x01, 0x0A}));
    ntcan_sim::inject(0, make_frame(0x705, {}));
    ntcan_sim::inject(1, make_frame(0x707, {0x05}));  // another node: not printed
    can_looping();
  };
  deliver();
  EXPECT_EQ(log_->count("can_print"), 0u) << "printing needs the debug bit";
  TELVO_debug = 0x100000;
  deliver();
  TELVO_debug = 0;
  EXPECT_EQ(log_->texts("can_print"), (std::vector<std::string>{"ID: 185, Len: 2, Data: 01 0A", "ID: 705, Len: 0, Data:"}));
}
