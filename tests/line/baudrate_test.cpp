// The baud rate a node's ".BAUDRATE" gives the line it creates: NTCAN codes
// as they always were, and the bit rates of the codes in bit/s.
#include <gtest/gtest.h>

#include "bus_fixture.h"
#include "test_support.h"

using testsupport::BusTest;

namespace {

struct Rate {
  int value;          // ".BAUDRATE"
  uint32_t expected;  // the code canSetBaudrate gets
};

}  // namespace

class BaudRateTest : public BusTest {
 protected:
  // Each value on a line of its own, created by a node with that value.
  void expect_codes(const std::vector<Rate>& rates) {
    int line = 0;
    for (const Rate& r : rates) {
      auto n = node_on(++line, 1);
      n->set_baudrate(r.value);
      ASSERT_EQ(n->can_open(), 0) << r.value;
      EXPECT_EQ(ntcan_sim::baud_rate(n->raw_handle()), r.expected) << ".BAUDRATE " << r.value;
    }
  }
};

TEST_F(BaudRateTest, EachBitRateReachesTheDriverAsItsCodeAndZeroStillOpensAt125kbit) {
  expect_codes({{1000000, NTCAN_BAUD_1000}, {800000, NTCAN_BAUD_800},   {666666, NTCAN_BAUD_666},
                {500000, NTCAN_BAUD_500},   {333333, NTCAN_BAUD_333},   {250000, NTCAN_BAUD_250},
                {166666, NTCAN_BAUD_166},   {125000, NTCAN_BAUD_125},   {100000, NTCAN_BAUD_100},
                {66666, NTCAN_BAUD_66},     {50000, NTCAN_BAUD_50},     {33333, NTCAN_BAUD_33},
                {20000, NTCAN_BAUD_20},     {12500, NTCAN_BAUD_12_5},   {10000, NTCAN_BAUD_10},
                {0, NTCAN_BAUD_125}});
}

TEST_F(BaudRateTest, CodesOneToFourteenKeepTheirMeaning) {
  std::vector<Rate> codes;
  for (int code = 1; code <= 14; ++code) codes.push_back({code, static_cast<uint32_t>(code)});
  expect_codes(codes);
}

TEST_F(BaudRateTest, AnythingElseIsRefusedFromDeviceCodeAClientAndTheConfiguration) {
  auto n = node_on(1, 5, "PUMP");
  n->set_baudrate(1000000);
  for (int bad : {15, -1, 999999, 1000001, 125001, 666667, 12499}) {
    n->set_baudrate(bad);
    EXPECT_EQ(client_int("PUMP.BAUDRATE"), 1000000) << bad;
    EqData in;
    in.set(bad);
    EXPECT_NE(eq_.client_set("PUMP.BAUDRATE", in, "alice", "ctl1"), 0) << bad;
  }
  EXPECT_EQ(log_->texts("PUMP.BAUDRATE").size(), 7u);

  // A bit rate is kept as it was written, so a saved configuration reads
  // the same, and loads as any code does.
  client_write("PUMP.BAUDRATE", 500000);
  testsupport::TempDir dir;
  ASSERT_EQ(eq_.save_config(dir.file("srv.conf")), 0);
  EXPECT_NE(testsupport::read_file(dir.file("srv.conf")).find("PUMP.BAUDRATE: \t500000\n"), std::string::npos)
      << testsupport::read_file(dir.file("srv.conf"));
  testsupport::write_file(dir.file("srv.conf"), "eq_fct: CANTEST\nPUMP.BAUDRATE: \t1000000\n");
  ASSERT_EQ(eq_.load_config(dir.file("srv.conf")), 0);
  EXPECT_EQ(client_int("PUMP.BAUDRATE"), 1000000);
  ASSERT_EQ(n->can_open(), 0);
  EXPECT_EQ(ntcan_sim::baud_rate(n->raw_handle()), static_cast<uint32_t>(NTCAN_BAUD_1000));
}
