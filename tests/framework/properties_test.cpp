// Properties of the framework stand-in as a server and its clients use them.
#include <gtest/gtest.h>

#include <cstring>

#include "telvo.h"

namespace {
// Records who the equipment function says is calling.
class WhoProperty : public D_int {
 public:
  using D_int::D_int;
  void set_value(int v) override {
    D_int::set_value(v);
    who = get_eqfct()->get_username() + "@" + get_eqfct()->get_hostname();
  }
  std::string who;
};
}  // namespace

TEST(Properties, ClientsReachThemByNameAndTheCallerIsKnownOnlyDuringItsCall) {
  EqFct eq("SRV");
  WhoProperty speed("SPEED motor speed in rpm", &eq);
  EXPECT_EQ(speed.basename(), "SPEED");
  EXPECT_EQ(speed.description(), "motor speed in rpm");
  EqData in, out;
  in.set(1500);
  EXPECT_EQ(eq.client_set("SPEED", in, "alice", "ctl1"), 0);
  EXPECT_EQ(speed.who, "alice@ctl1");
  EXPECT_EQ(eq.client_get("SPEED", &out), 0);
  EXPECT_EQ(out.get_int(), 1500);
  EXPECT_EQ(eq.client_set("NOPE", in), -1);
  EXPECT_EQ(eq.get_username(), "");
  speed.set_value(2);
  EXPECT_EQ(speed.who, "@");

  // An integer pointer property without storage reads 0 and stores nothing.
  D_int_ptr p("P", nullptr, &eq);
  in.set(9);
  eq.client_set("P", in);
  eq.client_get("P", &out);
  EXPECT_EQ(out.get_int(), 0);
  int cell = 4;
  p.set_ptr(&cell);
  EXPECT_EQ(p.value(), 4);
  p.set_value(7);
  EXPECT_EQ(cell, 7);
}

TEST(Properties, ABoundStringNeverWritesPastItsBuffer) {
  char mem[12];
  std::memset(mem, '#', sizeof mem);
  D_string s("TXT", mem + 2, 8, nullptr);  // buffer mem[2..9], guards around it
  s.set_value("0123456789abcdef");
  EXPECT_EQ(s.value(), "0123456");
  EXPECT_EQ(mem[9], '\0');
  EXPECT_EQ(mem[0], '#');
  EXPECT_EQ(mem[10], '#');
  s.set_length(100);
  EXPECT_EQ(s.length(), 7) << "a bound buffer cannot grow";
  s.copy_value("ab");
  EXPECT_EQ(s.value(), "ab");
  EXPECT_EQ(std::strlen(mem + 2), 2u);
}

TEST(Properties, ClientDataConvertWithoutUndefinedBehaviour) {
  EqData d;
  d.set(3.0e10f);
  EXPECT_EQ(d.get_int(), 2147483647);
  d.set(std::string("0x10"));
  EXPECT_EQ(d.get_int(), 16);
  d.set(std::string("99999999999"));
  EXPECT_EQ(d.get_int(), 0);
  EXPECT_EQ(d.get_iiii(), nullptr);
  d.set(7, 1.5f, 2.5f, 99L, "x", 2);
  EXPECT_EQ(d.length(), 3);
  ASSERT_NE(d.element(2), nullptr);
  EXPECT_EQ(d.element(2)->str, "x");
  d.set(1, 0, 0, 0, "neg", -1);
  EXPECT_EQ(d.length(), 3);
  EXPECT_EQ(d.element(0)->str, "") << "a negative element index stores nothing";
}
