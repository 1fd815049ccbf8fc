// The baud rate a node's ".BAUDRATE" gives the line it creates: NTCAN codes
// as they always were, and the bit rates of the codes in bit/s.
#include <gtest/gtest.h>

#include "bus_fixture.h"
#include "test_support.h"

using testsupport::BusTest;

class BaudRateTest : public BusTest {
 protected:
  // Each ".BAUDRATE" on a line of its own, created by a node with that value:
  // the code canSetBaudrate gets.
  void expect_codes(const std::vector<std::pair<int, uint32_t>>& rates) {
    int line = 0;
    for (const auto& [value, code] : rates) {
      auto n = node_on(++line, 1);
      n->set_baudrate(value);
      ASSERT_EQ(n->can_open(), 0) << value;
      EXPECT_EQ(ntcan_sim::baud_rate(n->raw_handle()), code) << ".BAUDRATE " << value;
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
  std::vector<std::pair<int, uint32_t>> codes;
  for (int code = 1; code <= 14; ++code) codes.emplace_back(code, code);
  expect_codes(codes);
}

TEST_F(BaudRateTest, AnythingElseIsRefusedAndABitRateIsSavedAsWrittenAndLoadsLikeACode) {
  auto n = node_on(1, 5, "PUMP");
  n->set_baudrate(1000000);
  for (int bad : {15, -1, 999999, 1000001, 125001, 666667, 12499}) {
    n->set_baudrate(bad);
    EqData in;
    in.set(bad);
    EXPECT_NE(eq_.client_set("PUMP.BAUDRATE", in, "alice", "ctl1"), 0) << bad;
    EXPECT_EQ(client_int("PUMP.BAUDRATE"), 1000000) << bad;
  }
  client_write("PUMP.BAUDRATE", 500000);
  testsupport::TempDir dir;
  const std::string conf = dir.file("srv.conf");
  ASSERT_EQ(eq_.save_config(conf), 0);
  EXPECT_NE(testsupport::read_file(conf).find("PUMP.BAUDRATE: \t500000\n"), std::string::npos);
  testsupport::write_file(conf, "eq_fct: CANTEST\nPUMP.BAUDRATE: \t1000000\n");
  ASSERT_EQ(eq_.load_config(conf), 0);
  ASSERT_EQ(n->can_open(), 0);
  EXPECT_EQ(ntcan_sim::baud_rate(n->raw_handle()), static_cast<uint32_t>(NTCAN_BAUD_1000));
}
