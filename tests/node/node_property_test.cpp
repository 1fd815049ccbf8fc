// A node property as a server constructs and destroys it.
#include <gtest/gtest.h>

#include <typeinfo>

#include "D_vorbel.h"

namespace {

const char* kCompanions[] = {".BAUDRATE", ".ALIVE", ".CONDITION", ".MANU", ".HWVER",
                             ".SWVER",    ".START", ".STOP",      ".RESET", ".ACTIVE"};

template <class T>
T* prop(EqFct& eq, const std::string& name) {
  return dynamic_cast<T*>(eq.find_property(name));
}

}  // namespace

TEST(NodeConstruction, BuildsItsTenCompanionsAndOneDebugSelectorPerProcess) {
  EqFct eq("CANDEMO");
  auto* first = new D_can("MOTOR1 drive motor", &eq);
  EXPECT_EQ(first->basename(), "MOTOR1");
  EXPECT_EQ(first->description(), "drive motor");
  EXPECT_EQ(first->data_type(), 14);

  // Companions are named after the part before the first blank, with their
  // descriptions, classes and initial values.
  auto* baud = prop<D_int>(eq, "MOTOR1.BAUDRATE");
  ASSERT_NE(baud, nullptr);
  EXPECT_EQ(baud->description(), "default 6 == 125KB ");
  EXPECT_EQ(baud->value(), 0);
  ASSERT_NE(prop<D_Alive>(eq, "MOTOR1.ALIVE"), nullptr);
  EXPECT_EQ(prop<D_Alive>(eq, "MOTOR1.ALIVE")->value(), 0) << "no storage bound yet";
  EXPECT_EQ(prop<D_string>(eq, "MOTOR1.CONDITION")->value(), "");
  EXPECT_EQ(prop<D_string>(eq, "MOTOR1.MANU")->description(), "Manufacture device name");
  EXPECT_EQ(prop<D_string>(eq, "MOTOR1.MANU")->length(), 63);
  EXPECT_EQ(prop<D_string>(eq, "MOTOR1.HWVER")->description(), "hardware version");
  EXPECT_EQ(prop<D_string>(eq, "MOTOR1.SWVER")->description(), "software version");
  for (const char* cmd : {".START", ".STOP", ".RESET"}) {
    auto* c = prop<D_canint>(eq, std::string("MOTOR1") + cmd);
    ASSERT_NE(c, nullptr) << cmd;
    EXPECT_EQ(c->description(), "can node");
    EXPECT_EQ(c->value(), 0);
  }
  auto* active = prop<D_canactive>(eq, "MOTOR1.ACTIVE");
  ASSERT_NE(active, nullptr);
  EXPECT_EQ(active->description(), "is the master");
  EXPECT_EQ(active->value(), 0);
  EXPECT_FALSE(first->isactive());

  auto* debug = prop<D_iiii>(eq, "MOTOR1.DEBUG_ID");
  ASSERT_NE(debug, nullptr);
  EXPECT_EQ(debug->description(), "to print this ID data");

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
  EXPECT_NE(eq.find_property("MOTOR2.ALIVE"), nullptr);
  delete second;
  EXPECT_EQ(eq.properties().size(), 1u);
}

TEST(NodeConstruction, ATextStartingWithABlankGivesCompanionsWithoutPrefix) {
  EqFct eq("CANDEMO");
  D_can node(" unnamed node", &eq);
  EXPECT_EQ(node.basename(), "");
  for (const char* c : kCompanions) EXPECT_NE(eq.find_property(c), nullptr) << c;
  EXPECT_NE(eq.find_property(".DEBUG_ID"), nullptr);
}

TEST(NodeConstruction, AVeryLongNameIsKeptWhole) {
  EqFct eq("CANDEMO");
  const std::string name(5000, 'N');
  D_can node(name + " description", &eq);
  EXPECT_NE(eq.find_property(name + ".SWVER"), nullptr);
  EXPECT_EQ(node.basename(), name);
}
