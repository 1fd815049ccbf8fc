// Fixture for tests that run nodes on the simulated CAN driver under the
// manual framework clock.
#ifndef VORBEL_BUS_FIXTURE_H
#define VORBEL_BUS_FIXTURE_H

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "D_vorbel.h"
#include "node/node_registry.h"
#include "ntcan_sim.h"
#include "telvo_clock.h"
#include "telvo_log.h"

namespace testsupport {

// A D_can that lets tests look at its internals.
class NodeProbe : public D_can {
 public:
  using D_can::D_can;
  NTCAN_HANDLE raw_handle() const { return canhandle_; }
  canline* line() const { return pline_; }
  CMSG* rx_buffer() const { return rxmsg_; }
  int32_t* rx_count() const { return rxmsg_len_; }
  int* status_word() const { return can_ret_; }
  int* alive_cell() const { return alive_ptr_; }
  void make_master(int flag) { active_->set_value(flag); }
  void set_baudrate(int code) { baudrate_->set_value(code); }
  void set_address(int line, int node, int i3 = 0, int i4 = 0) {
    IIII a{line, node, i3, i4};
    set_value(&a);
    has_changed();
  }
  // The registered masters with their addresses, in the order the server
  // loop fills them.
  static std::vector<std::pair<D_can*, IIII>> registry() {
    std::lock_guard<std::mutex> lk(mx_loop);
    std::vector<std::pair<D_can*, IIII>> nodes;
    for (vorbel::NodeBlock* b : vorbel::registry().blocks) nodes.emplace_back(b->master, *b->master->value());
    return nodes;
  }
  static D_iiii* debug_selector() { return canIdent_debug_; }
};

// While it lives, answers node 5's SDO requests on net 0 in a device's
// place: each request gets the frames listed under its command byte.
class SdoStandIn {
 public:
  explicit SdoStandIn(std::map<uint8_t, std::vector<CMSG>> answers)
      : id_(ntcan_sim::attach(0, "stand-in", [answers](const ntcan_sim::BusFrame& f) {
          const auto it = f.msg.id == 0x605 ? answers.find(f.msg.data[0]) : answers.end();
          if (it != answers.end())
            for (const CMSG& m : it->second) ntcan_sim::inject(0, m, "stand-in");
        })) {}
  ~SdoStandIn() { ntcan_sim::detach(id_); }
  SdoStandIn(const SdoStandIn&) = delete;
  SdoStandIn& operator=(const SdoStandIn&) = delete;

 private:
  int id_;
};

// Every test of this fixture runs in a process of its own (see
// tests/CMakeLists.txt), so the clock and the library's registries start
// fresh. The test's own thread drives the clock: its pauses move time.
class BusTest : public testing::Test {
 protected:
  void SetUp() override {
    clock_ = &telvo::install_manual_clock();
    clock_->drive_from_this_thread();
    ntcan_sim::reset();
    log_ = std::make_unique<telvo::LogCapture>();
    t0_ = TELVOtime();
  }
  void TearDown() override { log_.reset(); }

  // A node on `line` with node id `node`, attached to its line.
  std::unique_ptr<NodeProbe> node_on(int line, int node, const std::string& name = "") {
    auto n = std::make_unique<NodeProbe>(name.empty() ? "NODE" + std::to_string(line) + "_" + std::to_string(node) : name,
                                         &eq_);
    n->set_address(line, node);
    return n;
  }
  // A client's reads and writes of a property, as user alice on host ctl1.
  int client_int(const std::string& prop) {
    EqData out;
    EXPECT_EQ(eq_.client_get(prop, &out), 0) << prop;
    return out.get_int();
  }
  std::string client_text(const std::string& prop) {
    EqData out;
    EXPECT_EQ(eq_.client_get(prop, &out), 0) << prop;
    return out.get_string();
  }
  template <class T>
  void client_write(const std::string& prop, const T& v) {
    EqData in;
    in.set(v);
    ASSERT_EQ(eq_.client_set(prop, in, "alice", "ctl1"), 0) << prop;
  }
  // Seconds of framework time since the test began.
  long elapsed() const { return TELVOtime() - t0_; }
  void advance_s(long s) { clock_->advance(std::chrono::seconds(s)); }
  // Wait until `n` threads (supervision threads) sleep on the clock.
  void settle(size_t n) { ASSERT_TRUE(clock_->wait_for_sleepers(n)); }
  // Steps the clock from deadline to deadline until `pred` holds; false when
  // it did not within `limit_s` seconds of framework time.
  template <class Pred>
  bool run_until(Pred pred, long limit_s = 2000) {
    const long start = elapsed();
    while (!pred())
      if (elapsed() - start > limit_s || !clock_->advance_to_next()) return false;
    return true;
  }
  // Line 1's supervision (of `lines` supervision threads) closes it, and
  // every handle on it, after two failed status queries past its start pause.
  void close_line_1_by_supervision(NTCAN_RESULT status = NTCAN_CONTR_OFF_BUS, size_t lines = 1) {
    settle(lines);
    if (elapsed() < 61) advance_s(61 - elapsed());
    ntcan_sim::fail_next(0, ntcan_sim::Call::Status, status, 2);
    advance_s(2);
    clock_->advance(std::chrono::milliseconds(5));  // the close's pause
    ASSERT_TRUE(ntcan_sim::handles(0).empty());
  }

  telvo::ManualClock* clock_ = nullptr;
  std::unique_ptr<telvo::LogCapture> log_;
  EqFct eq_{"CANTEST"};
  long t0_ = 0;
};

// With a driver that hands closed handle numbers out again, lowest first, as
// real drivers do: a test of this fixture fails if the library calls the
// driver on a handle it has closed.
class ReusedHandlesTest : public BusTest {
 protected:
  void SetUp() override {
    ntcan_sim::set_handle_reuse(true);
    BusTest::SetUp();
  }
  void TearDown() override {
    EXPECT_EQ(ntcan_sim::calls_on_closed_handles(), 0u);
    BusTest::TearDown();
  }
};

}  // namespace testsupport

#endif  // VORBEL_BUS_FIXTURE_H
