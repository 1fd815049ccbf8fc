// Gateway address lookup and the reset command, against a gateway file and a
// wget of the test's own. The reset's arguments and log line, and hostile
// gateway files: the hostile-input matrix.
#include <gtest/gtest.h>

#include "bus_fixture.h"
#include "gateway_fixture.h"

using testsupport::BusTest;
using Texts = std::vector<std::string>;

TEST_F(BusTest, ALineTakesTheFirstEntryOfItsIndexAndOnlyAPlainAddressIsEverUsable) {
  testsupport::FakeGateway gw;
  gw.write_plugin(
      "# esd plugin configuration\n"
      "PeerName_x=\"127.000.000.001\"\n"    // a non-digit index counts as 0
      "PeerName[1]=\"127.000.000.002\"\n"
      "PeerName[1]=\"127.000.000.099\"\n"   // a later entry of the same index is ignored
      "PeerName 3 no quote here\n"          // matching index, no quote: passed over
      "PeerName 3 \"127.000.000.004\"\n"
      "PeerName4\n"                         // index from the newline: 0, no quote
      "PeerNameX5\"127.000.000.005\"\n"     // index 5, line 6
      "PeerName[6]=\"127.0.0.7\"\n"         // short address: taken with its newline, not usable
      "PeerName[7]=\"1;reboot;#.0.001\"\n"  // not an address
      "PeerName");                          // last line, too short, no newline
  const struct { int line; const char* ip; int result; } rows[] = {
      {1, "127.000.000.001", 0}, {2, "127.000.000.002", 0},  {4, "127.000.000.004", 0}, {6, "127.000.000.005", 0},
      {7, "127.0.0.7\"\n", -1},  {8, "1;reboot;#.0.00", -1}, {5, "", -1}};
  for (const auto& row : rows) {
    canline l;
    std::string ip;
    EXPECT_EQ(l.getlineip(row.line, ip), row.result) << "line " << row.line;
    EXPECT_EQ(ip, row.ip) << "line " << row.line;
  }
  EXPECT_TRUE(log_->entries().empty());
  setenv("VORBEL_ESD_PLUGIN", "/nonexistent/esd-plugin", 1);
  canline l;
  std::string ip;
  EXPECT_EQ(l.getlineip(1, ip), -1);
  EXPECT_EQ(log_->texts("canline::getlineip cannot open  "), Texts{"/nonexistent/esd-plugin"});
}

TEST_F(BusTest, NoCommandRunsForAForbiddenResetOrAnUnusableAddressAndAMissingWgetIsLogged) {
  testsupport::FakeGateway gw;
  canline l;
  for (const char* ip : {"127.000.000.01", "127.000.000.0011", "127.0.0.1;reboo", "$(reboot).0.001",
                         "127 000 000 001", "999.000.000.001", ""}) {
    l.line_ip_ = ip;
    l.reset_line();
  }
  l.line_ip_ = "127.000.000.001";
  l.deny_wget_reset_ = true;
  l.reset_line();
  EXPECT_TRUE(gw.calls().empty());
  EXPECT_TRUE(log_->entries().empty());
  l.deny_wget_reset_ = false;
  setenv("PATH", gw.dir().file("nowhere").c_str(), 1);
  l.reset_line();
  EXPECT_EQ(log_->texts("canline::reset_line"), Texts{"cannot run wget: No such file or directory"});
}
