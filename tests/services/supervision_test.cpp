// Node supervision as device code opts into it: a consumer time-out,
// supervise() in place of check_alive, lost(), last_heard_ms(), booted() and
// the guarding toggle check, on the simulated bus under the manual clock.
#include <gtest/gtest.h>

#include "bus_fixture.h"
#include "canopen_device.h"

using ntcan_sim::make_frame;
using testsupport::NodeProbe;

namespace {

class NodeSupervision : public testsupport::BusTest {
 protected:
  // Device code's recognisers on its copy of the node's last fill.
  int recognise(NodeProbe& n) {
    CMSG batch[100];
    int count = 0;
    if (n.can_array(batch, &count) != 0) count = 0;
    return n.alive_->supervise(n.value()->i2_data, batch, &count);
  }
  // One turn of the server loop for one node.
  int turn(NodeProbe& n) {
    can_looping();
    return recognise(n);
  }
  // State frames of node `id` on `net`, for the next fill.
  void states(int net, int id, std::initializer_list<uint8_t> bytes) {
    for (uint8_t b : bytes) ntcan_sim::inject(net, make_frame(0x700 + id, {b}));
  }
  void advance_ms(int64_t ms) { clock_->advance(std::chrono::milliseconds(ms)); }
  std::string condition(NodeProbe& n) { return client_text(n.basename() + ".CONDITION"); }
};

}  // namespace

TEST_F(NodeSupervision, AHeartbeatNodeIsLostExactlyAtItsTimeOutKeepingItsStateAndIsFoundByTheNextHeartbeat) {
  auto motor = node_on(1, 5, "MOTOR");
  ASSERT_EQ(motor->init(0x705), 0);
  D_Alive& alive = *motor->alive_;
  const auto seen = [&](bool lost, const char* text) {
    EXPECT_EQ(alive.lost(), lost) << text;
    EXPECT_EQ(alive.isalive(), !lost) << text;
    EXPECT_EQ(condition(*motor), text);
  };
  EXPECT_EQ(alive.last_heard_ms(), -1);

  // Without a time-out an hour of silence changes nothing.
  states(0, 5, {0x05});
  EXPECT_EQ(turn(*motor), 100);
  const long long first = TELVOtime_ms();
  advance_ms(3600 * 1000);
  EXPECT_EQ(turn(*motor), 0);
  seen(false, "Operational");
  EXPECT_EQ(alive.last_heard_ms(), first);

  // Opting in: nothing came within the time-out, so the node is lost at once.
  alive.consumer_timeout_ms(1500);
  turn(*motor);
  seen(true, "No heartbeat");

  states(0, 5, {0x05});
  EXPECT_EQ(turn(*motor), 100);
  const long long heard = alive.last_heard_ms();
  EXPECT_EQ(heard, TELVOtime_ms());
  advance_ms(1499);
  turn(*motor);
  seen(false, "Operational");
  advance_ms(1);
  seen(true, "Operational");  // lost when asked; the text follows at the loop's next turn
  EXPECT_EQ(turn(*motor), 0);
  seen(true, "No heartbeat");
  EXPECT_EQ(client_int("MOTOR.ALIVE"), 5) << "the last state received stays";
  EXPECT_EQ(alive.last_heard_ms(), heard);
  states(0, 5, {0x05});
  EXPECT_EQ(turn(*motor), 100);
  seen(false, "Operational");

  // A negative time-out is refused, logged, and switches supervision off.
  alive.consumer_timeout_ms(-5);
  advance_ms(10000);
  EXPECT_FALSE(alive.lost());
  EXPECT_EQ(log_->texts("D_Alive::consumer_timeout_ms"),
            std::vector<std::string>{"MOTOR.ALIVE: time-out -5 ms refused, supervision off"});
}

TEST_F(NodeSupervision, EveryStateSetsItsOwnTextAndTheLastStateFrameOfABatchIsTheNodes) {
  auto valve = node_on(2, 7, "VALVE");
  ASSERT_EQ(valve->init(0x707), 0);
  const struct {
    std::initializer_list<uint8_t> states;
    int result, alive;
    const char* text;
  } rows[] = {
      {{0x00}, 0, 0x00, "Boot-up"},     {{0x7F}, 0, 0x7F, "Preoperational"},
      {{0x05}, 100, 0x05, "Operational"}, {{0x04}, 0, 0x04, "Stopped"},
      {{0x85}, 100, 0x85, "Operational"}, {{0x02}, 0, 0x02, "Error"},
      {{0x05, 0x04}, 0, 0x04, "Stopped"}, {{0x04, 0x05}, 100, 0x05, "Operational"},
  };
  for (const auto& row : rows) {
    // Guarding requests and frames of another length on 0x707 are passed over.
    CMSG request = make_frame(0x707, {});
    request.len = 0x10;
    ntcan_sim::inject(1, request);
    ntcan_sim::inject(1, make_frame(0x707, {0x04, 0x04}));
    states(1, 7, row.states);
    EXPECT_EQ(turn(*valve), row.result) << row.text;
    EXPECT_EQ(client_int("VALVE.ALIVE"), row.alive) << row.text;
    EXPECT_EQ(condition(*valve), row.text);
  }
}

TEST_F(NodeSupervision, AGuardingNodeRepeatingOneToggleIsLostWithTheToggleCheck) {
  canopen_sim::Device device(0, 6);
  auto pump = node_on(1, 6, "PUMP");
  ASSERT_EQ(pump->init(0x706), 0);
  D_Alive& alive = *pump->alive_;
  alive.consumer_timeout_ms(750);
  alive.guarding_toggle_check(true);
  // A sound node alternates its toggle: every answer counts.
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(pump->rtr(), 0);
    EXPECT_EQ(turn(*pump), 0) << "pre-operational, answer " << i;
    advance_ms(500);
  }
  EXPECT_FALSE(alive.lost());
  EXPECT_EQ(condition(*pump), "Preoperational");

  // A boot-up starts the alternation anew: the last answer carried toggle
  // 0, and so does the first one after the reboot; it counts.
  ASSERT_EQ(device.guard_toggle(), 1);
  device.reboot();
  ASSERT_EQ(pump->rtr(), 0);
  turn(*pump);
  EXPECT_TRUE(alive.booted());
  EXPECT_EQ(client_int("PUMP.ALIVE"), 0x7F);

  // A node stuck on one answer is heard once, then lost at the time-out
  // however often it repeats itself.
  states(0, 6, {0x85});
  EXPECT_EQ(turn(*pump), 100);
  const long long heard = alive.last_heard_ms();
  for (int i = 0; i < 3; ++i) {
    advance_ms(250);
    states(0, 6, {0x85});
    EXPECT_EQ(turn(*pump), 0);
  }
  EXPECT_EQ(alive.last_heard_ms(), heard);
  EXPECT_TRUE(alive.lost());
  EXPECT_EQ(condition(*pump), "No heartbeat");
  states(0, 6, {0x05});
  EXPECT_EQ(turn(*pump), 100);
  EXPECT_FALSE(alive.lost());

  // Without the check the same repetition counts as heard.
  alive.guarding_toggle_check(false);
  for (int i = 0; i < 4; ++i) {
    advance_ms(250);
    states(0, 6, {0x05});
    EXPECT_EQ(turn(*pump), 100);
  }
  EXPECT_FALSE(alive.lost());
}

TEST_F(NodeSupervision, ARebootIsSeenOnceThroughBootedAndTheNodeIsStartedAgain) {
  canopen_sim::Device device(0, 5);  // its boot-up went out before the node listened
  auto motor = node_on(1, 5, "MOTOR");
  ASSERT_EQ(motor->init(0x705), 0);
  D_Alive& alive = *motor->alive_;
  alive.consumer_timeout_ms(1500);
  ASSERT_EQ(motor->start_node(), 0);
  device.send_heartbeat();
  EXPECT_EQ(turn(*motor), 100);
  EXPECT_FALSE(alive.booted());

  // Boot-up and the first pre-operational heartbeat in one batch.
  device.reboot();
  device.send_heartbeat();
  EXPECT_EQ(turn(*motor), 0);
  EXPECT_EQ(condition(*motor), "Preoperational");
  EXPECT_TRUE(alive.booted());
  EXPECT_FALSE(alive.booted()) << "reading clears it";

  // Device code starts it again.
  ASSERT_EQ(motor->start_node(), 0);
  device.send_heartbeat();
  EXPECT_EQ(turn(*motor), 100);
  EXPECT_EQ(condition(*motor), "Operational");
  EXPECT_EQ(device.state(), canopen_sim::NmtState::Operational);
}

TEST_F(NodeSupervision, AFollowerSharesItsMastersSupervisionTakesTheSameFillOnceAndKeepsItWhenTheMasterGoes) {
  auto motor = node_on(1, 5, "MOTOR");
  auto view = node_on(1, 5, "MOTOR_VIEW");
  ASSERT_EQ(motor->init(0x705), 0);
  ASSERT_EQ(view->init(0x705), 0);
  motor->alive_->consumer_timeout_ms(1500);
  motor->alive_->guarding_toggle_check(true);

  // Both run the recognisers on their copy of one fill, a boot-up and a
  // guarding answer; the master's device code restarts the node.
  states(0, 5, {0x00, 0x85});
  can_looping();
  EXPECT_EQ(recognise(*motor), 100);
  EXPECT_TRUE(motor->alive_->booted());
  EXPECT_EQ(recognise(*view), 100) << "the same fill, the same answer";
  EXPECT_FALSE(view->alive_->booted()) << "one boot-up, raised once";
  EXPECT_FALSE(motor->alive_->booted());
  EXPECT_EQ(condition(*view), "Operational");
  states(0, 5, {0x05});
  can_looping();
  EXPECT_EQ(recognise(*motor), 100);
  EXPECT_EQ(recognise(*view), 100) << "its copy of the answer is no repetition";
  EXPECT_EQ(view->alive_->last_heard_ms(), motor->alive_->last_heard_ms());

  advance_ms(1500);
  EXPECT_TRUE(view->alive_->lost());
  can_looping();
  recognise(*motor);
  recognise(*view);
  EXPECT_EQ(condition(*motor), "No heartbeat");
  EXPECT_EQ(condition(*view), "No heartbeat");

  // The master goes; the follower, registered again, keeps the time-out and
  // the toggle check, its wait starting anew.
  motor.reset();
  ASSERT_EQ(view->reattach(), 0);
  EXPECT_EQ(client_int("MOTOR_VIEW.ACTIVE"), 1);
  EXPECT_FALSE(view->alive_->lost());
  advance_ms(1500);
  EXPECT_TRUE(view->alive_->lost());
  states(0, 5, {0x85, 0x85});
  EXPECT_EQ(turn(*view), 100);
  EXPECT_FALSE(view->alive_->lost());
  states(0, 5, {0x85});
  EXPECT_EQ(turn(*view), 0) << "the toggle check came along";
}
