// A node property as a server constructs and destroys it.
#include <gtest/gtest.h>

#include "D_vorbel.h"

namespace {

const char* const kCompanions[] = {".BAUDRATE", ".ALIVE", ".CONDITION", ".MANU", ".HWVER",
                                   ".SWVER",    ".START", ".STOP",      ".RESET", ".ACTIVE"};

template <class T>
T* prop(EqFct& eq, const std::string& name) {
  return dynamic_cast<T*>(eq.find_property(name));
}

}  // namespace

TEST(NodeConstruction, BuildsItsTenCompanionsAndOneDebugSelectorPerProcessAndDeletesTheCompanions) {
  EqFct eq("CANDEMO");
  auto* first = new D_can("MOTOR1 drive motor", &eq);
  EXPECT_EQ(first->basename(), "MOTOR1");
  EXPECT_EQ(first->description(), "drive motor");
  EXPECT_EQ(first->data_type(), 14);

  // Named after the part before the first blank, with their descriptions,
  // classes and initial values.
  const char* const descriptions[] = {"default 6 == 125KB ", "", "", "Manufacture device name", "hardware version",
                                      "software version", "can node", "can node", "can node", "is the master"};
  for (size_t k = 0; k < 10; ++k) {
    const D_fct* p = eq.find_property(std::string("MOTOR1") + kCompanions[k]);
    ASSERT_NE(p, nullptr) << kCompanions[k];
    EXPECT_EQ(p->description(), descriptions[k]) << kCompanions[k];
  }
  EXPECT_EQ(prop<D_int>(eq, "MOTOR1.BAUDRATE")->value(), 0);
  EXPECT_EQ(prop<D_Alive>(eq, "MOTOR1.ALIVE")->value(), 0) << "no storage bound yet";
  EXPECT_EQ(prop<D_string>(eq, "MOTOR1.CONDITION")->value(), "");
  EXPECT_EQ(prop<D_string>(eq, "MOTOR1.MANU")->length(), 63);
  for (const char* cmd : {".START", ".STOP", ".RESET"}) EXPECT_EQ(prop<D_canint>(eq, std::string("MOTOR1") + cmd)->value(), 0);
  EXPECT_EQ(prop<D_canactive>(eq, "MOTOR1.ACTIVE")->value(), 0);
  EXPECT_FALSE(first->isactive());
  ASSERT_NE(prop<D_iiii>(eq, "MOTOR1.DEBUG_ID"), nullptr);
  EXPECT_EQ(eq.find_property("MOTOR1.DEBUG_ID")->description(), "to print this ID data");

  // A second node gets companions of its own but no second debug selector.
  auto* second = new D_can("MOTOR2", &eq);
  EXPECT_NE(prop<D_Alive>(eq, "MOTOR2.ALIVE"), nullptr);
  EXPECT_EQ(eq.find_property("MOTOR2.DEBUG_ID"), nullptr);
  EXPECT_EQ(eq.properties().size(), 1u + 10u + 1u + 1u + 10u);

  // Destruction deletes the companions; the debug selector stays.
  delete first;
  for (const char* c : kCompanions) EXPECT_EQ(eq.find_property(std::string("MOTOR1") + c), nullptr) << c;
  EXPECT_EQ(eq.find_property("MOTOR1"), nullptr);
  EXPECT_NE(eq.find_property("MOTOR1.DEBUG_ID"), nullptr);
  delete second;
  EXPECT_EQ(eq.properties().size(), 1u);
}

TEST(NodeConstruction, CompanionsTakeTheWholeNameBeforeTheFirstBlankHoweverLongOrEmpty) {
  EqFct eq("CANDEMO");
  const std::string name(5000, 'N');
  D_can unnamed(" unnamed node", &eq), long_named(name + " description", &eq);
  EXPECT_EQ(unnamed.basename(), "");
  for (const char* c : kCompanions) EXPECT_NE(eq.find_property(c), nullptr) << c;
  EXPECT_NE(eq.find_property(".DEBUG_ID"), nullptr);
  EXPECT_EQ(long_named.basename(), name);
  EXPECT_NE(eq.find_property(name + ".SWVER"), nullptr);
}
