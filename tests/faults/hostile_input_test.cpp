// Hostile input from every source the library takes it from: the
// configuration, client writes, the gateway file, SDO answers and node ids.
// Each row runs in a process of its own against node PUMP (line 1, node id 5,
// initialised) and asserts the result the caller gets, every log line, the
// frames on the bus (none where input is refused) and wget's argument lists.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <filesystem>
#include <functional>
#include <map>
#include <thread>

#include "bus_fixture.h"
#include "frame_table.h"
#include "gateway_fixture.h"

using ntcan_sim::make_frame;
using testsupport::frame_table;
using testsupport::read_file;
using testsupport::write_file;
using Texts = std::vector<std::string>;

namespace {

class HostileInput;
using Act = std::function<int(HostileInput&)>;

struct Row {
  const char* name;
  Act act;       // the hostile input; returns what its caller gets
  int result;
  Texts log;     // "origin | text" of every line logged
  Texts frames;  // net 0: "-> 605: 40 08 ..." sent, "<- 585: ..." received
  Texts wget = {};  // the arguments of each wget run, joined by '|'
};

void PrintTo(const Row& r, std::ostream* os) { *os << r.name; }
std::string row_name(const testing::TestParamInfo<Row>& i) { return i.param.name; }

class HostileInput : public testsupport::BusTest, public testing::WithParamInterface<Row> {
 public:
  void SetUp() override {
    BusTest::SetUp();
    clock_->set_query_tick_us(1000);  // an SDO wait without answer ends
    ASSERT_EQ(chdir(gateway_.dir().path().c_str()), 0);
    node_ = node_on(1, 5, "PUMP");
    ASSERT_EQ(node_->init(0x585), 0);
    settle(1);  // the supervision thread has logged its start
  }
  // What the row itself sets up is not part of what it asserts.
  void begin() {
    log_->clear();
    ntcan_sim::clear_trace();
  }
  int client_set(const std::string& prop, const EqData& in) {
    std::string error;
    const int r = eq_.client_set(prop, in, "alice", "ctl1", &error);
    EXPECT_EQ(r == 0, error.empty()) << error;
    return r;
  }
  EqFct& eq() { return eq_; }
  Texts log() {
    Texts out;
    for (const auto& e : log_->entries()) out.push_back(e.origin + " | " + e.text);
    return out;
  }

  testsupport::FakeGateway gateway_;
  std::unique_ptr<testsupport::NodeProbe> node_;
};

TEST_P(HostileInput, IsRefusedOrTakenAsDocumented) {
  const Row& row = GetParam();
  begin();
  EXPECT_EQ(row.act(*this), row.result);
  EXPECT_EQ(log(), row.log);
  EXPECT_EQ(frame_table(0), row.frames);
  EXPECT_EQ(gateway_.calls(), row.wget);
  // The password reaches wget in a private file, gone after the run
  // however it ended, never on its command line.
  for (const std::string& seen : gateway_.wgetrcs()) {
    const std::string file = seen.substr(0, seen.find('|'));
    EXPECT_EQ(seen.substr(file.size()), "|600|http_user = telvoadm;http_password = pln5ktrow;");
    EXPECT_FALSE(std::filesystem::exists(file)) << file;
  }
  EXPECT_EQ(gateway_.wgetrcs().size(), row.wget.size());
  for (const std::string& args : gateway_.raw_calls()) EXPECT_EQ(args.find("pln5ktrow"), std::string::npos) << args;
}

template <class T>
EqData as_data(T v) {
  EqData in;
  in.set(v);
  return in;
}

// --- Configuration ---------------------------------------------------------

// Saving with a property of this name keeps the file that was there.
Act save_with_property(const char* name) {
  return [name](HostileInput& t) {
    write_file("srv.conf", "# before\n");
    D_int odd(name, &t.eq());
    std::string error;
    const int r = t.eq().save_config("srv.conf", &error);
    EXPECT_NE(error.find(std::string("'") + name + "'"), std::string::npos) << error;
    EXPECT_EQ(read_file("srv.conf"), "# before\n");
    return r;
  };
}

Act load(const char* entries) {
  return [entries](HostileInput& t) {
    write_file("srv.conf", std::string("eq_fct: CANTEST\n") + entries);
    std::string error;
    const int r = t.eq().load_config("srv.conf", &error);
    EXPECT_EQ(r == 0, error.empty()) << error;
    return r;
  };
}

const Row kConfiguration[] = {
    {"PropertyNameWithAColon", save_with_property("A:B"), -1, {}, {}},
    {"PropertyNameWithANewline", save_with_property("A\nB"), -1, {}, {}},
    {"ADirectory",
     [](HostileInput& t) {
       std::string error;
       const int r = t.eq().load_config(".", &error);
       EXPECT_NE(error.find("is a directory"), std::string::npos) << error;
       return r;
     },
     -1, {}, {}},
    {"ABaudrateOutsideTheCodes",
     [](HostileInput& t) {
       EXPECT_EQ(load("PUMP.BAUDRATE: \t-3\n")(t), 0);
       return t.client_set("PUMP.BAUDRATE", as_data(99));
     },
     NTCAN_INVALID_PARAMETER,
     {"D_can::read | srv.conf:2: PUMP.BAUDRATE: -3 neither an NTCAN baud-rate code (0..14) nor the bit rate of one in "
      "bit/s, kept 0",
      "CANTEST | PUMP.BAUDRATE change to: 99 by alice@ctl1 refused: neither an NTCAN baud-rate code (0..14) nor "
      "the bit rate of one in bit/s"},
     {}},
    {"AddressValuesOutOfRange", load("PUMP: \t99  300  2001  -1\n"), 0,
     {"D_can::read | srv.conf:2: PUMP: line 99 above 20, read as 0",
      "D_can::read | srv.conf:2: PUMP: node id 300 outside 1..127, kept: the CANopen services refuse it",
      "D_can::read | srv.conf:2: PUMP: third value 2001 above 2000, read as 0",
      "D_can::read | srv.conf:2: PUMP: fourth value -1 negative, kept"},
     {}},
};
INSTANTIATE_TEST_SUITE_P(Configuration, HostileInput, testing::ValuesIn(kConfiguration), row_name);

// --- Client writes of the address -----------------------------------------

// A client writes `in` to PUMP's address; a refused write changes nothing.
Act client_writes(EqData in) {
  return [in](HostileInput& t) {
    const int r = t.client_set("PUMP", in);
    if (r != 0) {
      EXPECT_EQ(*t.node_->value(), (IIII{1, 5, 0, 0}));
      EXPECT_FALSE(t.node_->has_changed());
      EXPECT_EQ(t.node_->raw_handle(), t.node_->line()->handle()) << "the node stays open";
    }
    return r;
  };
}
Row refused(const char* name, const EqData& in, const std::string& why) {
  const IIII* a = in.get_iiii();
  const std::string to = a ? " to: " + std::to_string(a->i1_data) + ", " + std::to_string(a->i2_data) + ", " +
                                 std::to_string(a->i3_data) + ", " + std::to_string(a->i4_data)
                           : "";
  return {name, client_writes(in), NTCAN_INVALID_PARAMETER,
          {"CANTEST | PUMP change from: 1, 5, 0, 0" + to + " by alice@ctl1 refused: " + why}, {}};
}
const char kNoRecord[] = "the data are not a four-integer address record";

const Row kClientWrites[] = {
    refused("Line21", as_data(IIII{21, 5, 0, 0}), "line 21 outside 0..20"),
    refused("NegativeLine", as_data(IIII{-3, 5, 0, 0}), "line -3 outside 0..20"),
    refused("NodeId5000", as_data(IIII{1, 5000, 0, 0}), "node id 5000 outside 0..2000"),
    refused("NodeIdIntMax", as_data(IIII{1, INT_MAX, 0, 0}), "node id 2147483647 outside 0..2000"),
    refused("NegativeFourthValue", as_data(IIII{1, 5, 0, -1}), "fourth value -1 outside 0..2000"),
    refused("AnInteger", as_data(3), kNoRecord),
    refused("AText", as_data(std::string("1 6 0 0")), kNoRecord),
    refused("NoData", EqData(), kNoRecord),
    {"TheLimitsThemselves", client_writes(as_data(IIII{20, 2000, 2000, 2000})), 0,
     {"CANTEST | PUMP change from: 1, 5, 0, 0 to: 20, 2000, 2000, 2000 by alice@ctl1"}, {}},
};
INSTANTIATE_TEST_SUITE_P(ClientWrites, HostileInput, testing::ValuesIn(kClientWrites), row_name);

// --- The gateway file and the reset command --------------------------------

// The gateway file holds `plugin`; each of `lines` is reset once.
Act resets(const char* plugin, std::vector<int> lines) {
  return [plugin, lines](HostileInput& t) {
    t.gateway_.write_plugin(plugin);
    int r = 0;
    for (int lineno : lines) {
      canline l;
      std::string ip;
      r |= l.getlineip(lineno, ip);
      l.setlineip(ip);
      l.reset_line();
    }
    return r;
  };
}

// The reset of line 1 with a wget that records its arguments and its process
// id, then hangs, on a thread of its own; `stop` once wget runs asks the
// line's supervision to end. 0 when the reset ended within 5 s of real time,
// SIGINT was not ignored while wget ran, and wget is gone.
int hanging_reset(HostileInput& t, bool stop) {
  t.gateway_.write_wget("echo $$ > pid\nexec sleep 30\n");
  t.gateway_.write_plugin("PeerName[0]=\"127.000.000.001\"\n");
  canline l;
  std::string ip;
  l.getlineip(1, ip);
  l.setlineip(ip);
  const auto start = std::chrono::steady_clock::now();
  std::atomic<bool> done{false};
  std::thread reset([&] {
    l.reset_line();
    done = true;
  });
  while (!done && read_file("pid").empty()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  struct sigaction sa {};
  sigaction(SIGINT, nullptr, &sa);
  l.ThreadStop_ = stop;
  reset.join();
  const bool quick = std::chrono::steady_clock::now() - start < std::chrono::seconds(5);
  const bool gone = kill(std::atoi(read_file("pid").c_str()), 0) != 0;
  return quick && sa.sa_handler != SIG_IGN && gone ? 0 : -1;
}

// The reset's log line and wget's arguments for a gateway at `host`.
std::string shown(const std::string& host) {
  return "system called with :  | wget --post-data=\"FWUpdReset=1\" http://telvoadm:***@" + host + "/Forms/Firmware";
}
std::string args(const std::string& host) {
  return "--post-data=FWUpdReset=1|--config=WGETRC|http://" + host + "/Forms/Firmware|";
}

const Row kGatewayFile[] = {
    {"APaddedAddressIsPostedInDecimal", resets("PeerName[0]=\"127.000.000.010\"\n", {1}), 0, {shown("127.0.0.10")}, {},
     {args("127.0.0.10")}},
    {"TwoDigitEntryIndices",
     resets("PeerName 10 \"192.168.010.011\"\nPeerName 1 \"192.168.010.002\"\nPeerName[19]=\"010.000.000.020\"\n",
            {2, 11, 20}),
     0, {shown("192.168.10.2"), shown("192.168.10.11"), shown("10.0.0.20")}, {},
     {args("192.168.10.2"), args("192.168.10.11"), args("10.0.0.20")}},
    {"AHangingWgetIsKilledAfterItsBound",
     [](HostileInput& t) {
       setenv("VORBEL_RESET_TIMEOUT_MS", "300", 1);
       return hanging_reset(t, false);
     },
     0, {"canline::reset_line | wget still running after 300 ms: killed", shown("127.0.0.1")}, {}, {args("127.0.0.1")}},
    {"AStopRequestEndsAHangingWgetAtOnce", [](HostileInput& t) { return hanging_reset(t, true); }, 0, {}, {},
     {args("127.0.0.1")}},
    {"TheFirstEntryOfALinesIndexCountsAndMalformedLinesArePassedOver",
     resets("# esd plugin configuration\n"
            "PeerName_x=\"127.000.000.001\"\n"   // a non-digit index counts as 0
            "PeerName[1]=\"127.000.000.002\"\n"
            "PeerName[1]=\"127.000.000.099\"\n"  // a later entry of the same index
            "PeerName 3 no quote here\n"
            "PeerName 3 \"127.000.000.004\"\n"
            "PeerName4\n"                        // index from the newline: 0, no quote
            "PeerNameX5\"127.000.000.005\"\n"    // index 5, line 6
            "PeerName",                          // too short, no newline
            {1, 2, 4, 6}),
     0, {shown("127.0.0.1"), shown("127.0.0.2"), shown("127.0.0.4"), shown("127.0.0.5")}, {},
     {args("127.0.0.1"), args("127.0.0.2"), args("127.0.0.4"), args("127.0.0.5")}},
    {"OnlyAPlainDottedAddressEverReachesTheCommand",
     [](HostileInput& t) {
       canline l;
       l.line_ip_ = "127.000.000.0011";
       l.reset_line();
       return resets("PeerName[0]=\"127.0.0.7\"\nPeerName[1]=\"1;reboot;#.0.001\"\nPeerName[2]=\"$(reboot).0.001\"\n"
                     "PeerName[3]=\"127 000 000 001\"\nPeerName[4]=\"999.000.000.001\"\nPeerName[5]=\"127.000.000.01\"\n",
                     {1, 2, 3, 4, 5, 6, 7})(t);
     },
     -1, {}, {}},
    {"AMissingGatewayFile",
     [](HostileInput& t) {
       setenv("VORBEL_ESD_PLUGIN", "/nonexistent/esd-plugin", 1);
       return resets("", {1})(t);
     },
     -1, {"canline::getlineip cannot open   | /nonexistent/esd-plugin"}, {}},
    {"NoPlaceForWgetsCredentials",
     [](HostileInput& t) {
       setenv("TMPDIR", t.gateway_.dir().file("nowhere").c_str(), 1);
       return resets("PeerName[0]=\"127.000.000.001\"\n", {1})(t);
     },
     0, {"canline::reset_line | cannot write wget's credentials: No such file or directory", shown("127.0.0.1")}, {}},
    {"AMissingWget",
     [](HostileInput& t) {
       setenv("PATH", t.gateway_.dir().file("nowhere").c_str(), 1);
       return resets("PeerName[0]=\"127.000.000.001\"\n", {1})(t);
     },
     0, {"canline::reset_line | cannot run wget: No such file or directory", shown("127.0.0.1")}, {}},
};
INSTANTIATE_TEST_SUITE_P(GatewayFile, HostileInput, testing::ValuesIn(kGatewayFile), row_name);

// --- SDO answers -------------------------------------------------------------

// An upload of 0x1008/0 from node 5: each request is answered with the frames
// listed under its command byte; `value` is what the buffer then holds.
Act upload(std::map<uint8_t, std::vector<CMSG>> answers, std::string value) {
  return [answers, value](HostileInput& t) {
    EXPECT_EQ(t.node_->AddIdent(0x085), 0);
    testsupport::SdoStandIn device(answers);
    char buf[64] = {};
    const int r = t.node_->segSdoRead(5, 0x1008, 0, buf);
    EXPECT_EQ(std::string(buf), value);
    return r;
  };
}

const CMSG kAnswer = make_frame(0x585, {0x43, 0x08, 0x10, 0x00, 'D', 'C', '-', '2'});
const char kRequest[] = "-> 605: 40 08 10 00 00 00 00 00";
const char kAnswered[] = "<- 585: 43 08 10 00 44 43 2D 32";

const Row kSdoAnswers[] = {
    {"AnAnswerForAnotherEntry",
     upload({{0x40, {make_frame(0x585, {0x43, 0x09, 0x10, 0x00, 'r', 'e', 'v', 'C'}), kAnswer}}}, "DC-2"), 0, {},
     {kRequest, "<- 585: 43 09 10 00 72 65 76 43", kAnswered}},
    {"AFrameShorterThanItsClaim",
     upload({{0x40, {make_frame(0x585, {0x43}), make_frame(0x585, {0x43, 0x08, 0x10, 0x00, 'X'}), kAnswer}}}, "DC-2"),
     0, {}, {kRequest, "<- 585: 43", "<- 585: 43 08 10 00 58", kAnswered}},
    {"AnEmergencyThatReadsLikeAnAbort",
     upload({{0x40, {make_frame(0x085, {0x80, 0x08, 0x10, 0x00, 0, 0, 2, 6}), kAnswer}}}, "DC-2"), 0, {},
     {kRequest, "<- 085: 80 08 10 00 00 00 02 06", kAnswered}},
    {"ASegmentShorterThanItsClaim",
     upload({{0x40, {make_frame(0x585, {0x41, 0x08, 0x10, 0x00, 2, 0, 0, 0})}},
             {0x60, {make_frame(0x585, {0x00, 'o', 'k'}), make_frame(0x585, {0x0B, 'o', 'k', 0, 0, 0, 0, 0})}}},
            "ok"),
     0, {},
     {kRequest, "<- 585: 41 08 10 00 02 00 00 00", "-> 605: 60 00 00 00 00 00 00 00", "<- 585: 00 6F 6B",
      "<- 585: 0B 6F 6B 00 00 00 00 00"}},
};
INSTANTIATE_TEST_SUITE_P(SdoAnswers, HostileInput, testing::ValuesIn(kSdoAnswers), row_name);

// --- Node ids in the CANopen services ---------------------------------------

// PUMP gets node id `id` from device code (on line 1, its raw identifiers
// still enabled); the service runs twice, is logged once.
Act with_node_id(int id, std::function<int(testsupport::NodeProbe&)> service) {
  return [id, service](HostileInput& t) {
    t.node_->set_address(1, id);
    EXPECT_EQ(t.node_->init(0x6AC), 0);
    t.begin();
    service(*t.node_);
    return service(*t.node_);
  };
}

// A heartbeat of the node with the operational state, and an emergency, on
// identifiers made as 32-bit sums.
int recognise(testsupport::NodeProbe& n, bool emergency) {
  const int id = n.value()->i2_data;
  const auto sum = [id](uint32_t base) { return static_cast<int32_t>(base + static_cast<uint32_t>(id)); };
  CMSG batch[] = {make_frame(sum(0x700), {0x05}), make_frame(sum(0x080), {0x10, 0x82})};
  int count = 2;
  return emergency ? n.can_emergency(id, batch, &count) : n.alive_->check_alive(id, batch, &count);
}

std::string refused_id(const char* origin, int id, int lowest = 1) {
  return std::string(origin) + " | PUMP: node id " + std::to_string(id) + " outside " + std::to_string(lowest) +
         "..127, refused";
}
// The service refuses node id `id`: nothing sent, one log line for two calls.
Row refuses(const char* name, int id, std::function<int(testsupport::NodeProbe&)> service, const char* origin,
            int lowest = 1) {
  return {name, with_node_id(id, service), NTCAN_INVALID_PARAMETER, {refused_id(origin, id, lowest)}, {}};
}

const Row kNodeIds[] = {
    refuses("NmtStartOfNode300", 300, [](auto& n) { return n.start_node(); }, "D_can::start_node", 0),
    {"StopPropertyOfNode262",
     [](HostileInput& t) {
       EXPECT_EQ(t.client_set("PUMP", as_data(IIII{1, 262, 0, 0})), 0);
       EXPECT_EQ(t.node_->init(0x585), 0);
       return t.client_set("PUMP.STOP", as_data(1));
     },
     0,
     {"CANTEST | PUMP change from: 1, 5, 0, 0 to: 1, 262, 0, 0 by alice@ctl1",
      refused_id("D_can::stop_node", 262, 0)},
     {}},
    {"NmtOfNode0AddressesEveryNode", with_node_id(0, [](auto& n) { return n.start_node(); }), 0, {},
     {"-> 000: 01 00", "-> 000: 01 00"}},
    refuses("NmtPreOperationalOfNode128", 128, [](auto& n) { return n.preop_node(); }, "D_can::preop_node", 0),
    {"NmtResetCommunicationOfNode0", with_node_id(0, [](auto& n) { return n.reset_comm_node(); }), 0, {},
     {"-> 000: 82 00", "-> 000: 82 00"}},
    refuses("SdoRequestOfNode300", 300, [](auto& n) { return n.can_SDO(0x1008, 0); }, "D_can::can_SDO"),
    refuses("UploadFromNode128", 128,
            [](auto& n) {
              char buf[64] = {};
              return n.segSdoRead(128, 0x1008, 0, buf);
            },
            "segSdoRead"),
    refuses("DownloadToNode0", 0,
            [](auto& n) {
              const unsigned char v[2] = {0xE8, 0x03};
              return n.sdo_download(0x1017, 0, v, 2);
            },
            "D_can::sdo_download"),
    refuses("BinaryUploadFromNode300", 300,
            [](auto& n) {
              unsigned char buf[16];
              int len = 0;
              return n.sdo_upload(0x1018, 1, buf, 16, &len);
            },
            "D_can::sdo_upload"),
    refuses("IdentityOfNode65541WhoseLowBitsAre5", 65541, [](auto& n) { return n.get_manufacture(); },
            "D_can::get_manufacture"),
    refuses("GuardingRequestOfNode200", 200, [](auto& n) { return n.rtr(); }, "D_can::rtr"),
    {"GuardingRequestOfNode127", with_node_id(127, [](auto& n) { return n.rtr(); }), 0, {},
     {"-> 77F: R", "-> 77F: R"}},
    refuses("EmergencyIdentifierOfNode300", 300, [](auto& n) { return n.init_emergency(); }, "D_can::init_emergency"),
    refuses("HeartbeatOfNode0", 0, [](auto& n) { return recognise(n, false); }, "D_Alive::can_read"),
    refuses("SupervisionOfNode128", 128,
            [](auto& n) {
              int none = 0;
              return n.alive_->supervise(128, nullptr, &none);
            },
            "D_Alive::supervise"),
    refuses("EmergencyOfNodeIntMax", INT_MAX, [](auto& n) { return recognise(n, true); }, "D_can::can_emergency"),
};
INSTANTIATE_TEST_SUITE_P(NodeIds, HostileInput, testing::ValuesIn(kNodeIds), row_name);

}  // namespace
