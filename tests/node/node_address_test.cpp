// The node address: loaded with limits, saved exactly, set by clients and
// logged with who did it.
#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>

#include "D_vorbel.h"
#include "telvo_log.h"
#include "test_support.h"

using testsupport::TempDir;
using testsupport::write_file;

namespace {

IIII addr(int a, int b, int c, int d) { return IIII{a, b, c, d}; }

void client_write(EqFct& eq, const std::string& name, IIII a, const char* user = "alice",
                  const char* host = "ctl1") {
  EqData in;
  in.set(a);
  eq.client_set(name, in, user, host);
}

}  // namespace

TEST(NodeAddress, IsLoadedWithLimitsAndSavedInItsExactForm) {
  TempDir dir;
  write_file(dir.file("srv.conf"),
             "eq_fct: CANDEMO\n"
             "NODE2: \t1  5  0  0\n");
  EqFct eq("CANDEMO");
  D_can n2("NODE2", &eq), n3("NODE3", &eq);
  IIII a3{25, 2500, 3, 4};
  n3.set_value(&a3);  // not in the file: limits still apply
  std::string err;
  ASSERT_EQ(eq.load_config(dir.file("srv.conf"), &err), 0) << err;
  EXPECT_EQ(*n2.value(), addr(1, 5, 0, 0));
  EXPECT_EQ(*n3.value(), addr(0, 0, 3, 4));

  // As the framework saves it (that it loads back: the stress run).
  std::ostringstream out;
  n2.write(out);
  EXPECT_EQ(out.str(), " \t1  5  0  0\n");
}

TEST(NodeAddress, EverySetIsLoggedWithWhoDidItAndOnlyAMoveRaisesTheChangedFlag) {
  EqFct eq("CANDEMO");
  D_can node("NODE1 a node", &eq);
  telvo::LogCapture log;

  client_write(eq, "NODE1", addr(1, 5, 0, 0));
  EXPECT_EQ(log.texts("CANDEMO"),
            std::vector<std::string>{"NODE1 change from: 0, 0, 0, 0 to: 1, 5, 0, 0 by alice@ctl1"});
  EXPECT_TRUE(node.has_changed());
  EXPECT_FALSE(node.has_changed()) << "reading the flag clears it";
  EqData out;
  eq.client_get("NODE1", &out);
  ASSERT_NE(out.get_iiii(), nullptr);
  EXPECT_EQ(*out.get_iiii(), addr(1, 5, 0, 0));

  // The same address again: logged, nothing else.
  log.clear();
  client_write(eq, "NODE1", addr(1, 5, 0, 0), "bob", "ctl2");
  EXPECT_EQ(log.texts("CANDEMO"),
            std::vector<std::string>{"NODE1 change from: 1, 5, 0, 0 to: 1, 5, 0, 0 by bob@ctl2"});
  EXPECT_FALSE(node.has_changed());

  // Only the further identifiers: stored, no move.
  client_write(eq, "NODE1", addr(1, 5, 0x181, 0x281));
  EXPECT_FALSE(node.has_changed());
  EXPECT_EQ(*node.value(), addr(1, 5, 0x181, 0x281));

  // A new node id on the same line is a move; the old address is kept.
  client_write(eq, "NODE1", addr(1, 6, 0, 0));
  EXPECT_TRUE(node.has_changed());
  EXPECT_EQ(*node.oldAddr(), addr(1, 5, 0x181, 0x281));
  client_write(eq, "NODE1", addr(2, 6, 0, 0));
  EXPECT_TRUE(node.has_changed()) << "so is a new line";

  // A node without equipment function logs under its own origin.
  D_can lone("LONE", nullptr);
  IIII a = addr(2, 7, 0, 0);
  lone.set_value(&a);
  lone.set_value(nullptr);
  EXPECT_EQ(log.texts("D_can"), std::vector<std::string>{"LONE change from: 0, 0, 0, 0 to: 2, 7, 0, 0"});
}

TEST(NodeAddress, AMultiElementReplyCarriesTheAddress) {
  EqFct eq("CANDEMO");
  D_can node("NODE1", &eq);
  IIII a = addr(3, 4, 5, 6);
  node.set_value(&a);
  EqData res;
  int index = 2;
  char text[] = "node one";
  node.get_multi(nullptr, nullptr, &res, &index, text);
  ASSERT_NE(res.element(2), nullptr);
  EXPECT_EQ(res.element(2)->i1, 3);
  EXPECT_EQ(res.element(2)->f1, 4.0f);
  EXPECT_EQ(res.element(2)->f2, 5.0f);
  EXPECT_EQ(res.element(2)->tm, 6);
  EXPECT_EQ(res.element(2)->str, "node one");
  EqData untouched;
  EXPECT_THROW(node.get_multi(nullptr, nullptr, &untouched, &index, nullptr), std::logic_error);
  EXPECT_EQ(untouched.length(), 0);
}
