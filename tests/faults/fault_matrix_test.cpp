// The fault matrix: every driver call the library makes, at every place it
// makes it, failing with each status the call can return, each pair in a
// process of its own. Each checks the result the caller gets, the log line,
// and the state afterwards: what is registered, which identifiers are
// enabled, which handles the driver still holds open.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "bus_fixture.h"
#include "canopen_device.h"
#include "gateway_fixture.h"

using ntcan_sim::Call;
using testsupport::NodeProbe;

namespace {

class FaultMatrix;
struct Place { const char* name; Call call; void (*run)(FaultMatrix&); };
struct Case { const Place* place; NTCAN_RESULT status; };
using Texts = std::vector<std::string>;
using Handles = std::vector<NTCAN_HANDLE>;
using Ids = std::vector<int32_t>;
using Node = std::unique_ptr<NodeProbe>;

// Statuses each call can return besides success.
const std::map<Call, std::vector<NTCAN_RESULT>> kFails = {
    {Call::Open,
     {NTCAN_NET_NOT_FOUND, NTCAN_SOCK_CONN_TIMEOUT, NTCAN_INSUFFICIENT_RESOURCES, NTCAN_SOCK_HOST_NOT_FOUND}},
    {Call::SetBaudrate, {NTCAN_INVALID_PARAMETER, NTCAN_CONTR_BUSY, NTCAN_SOCK_CMD_TIMEOUT}},
    {Call::Close, {NTCAN_INVALID_HANDLE, NTCAN_INVALID_DRIVER}},
    {Call::IdAdd, {NTCAN_ID_ALREADY_ENABLED, NTCAN_INVALID_PARAMETER, NTCAN_INSUFFICIENT_RESOURCES}},
    {Call::IdDelete, {NTCAN_ID_NOT_ENABLED, NTCAN_INVALID_HANDLE, NTCAN_INVALID_PARAMETER}},
    {Call::Send, {NTCAN_TX_TIMEOUT, NTCAN_TX_ERROR, NTCAN_CONTR_OFF_BUS, NTCAN_INVALID_HANDLE}},
    {Call::Take, {NTCAN_INVALID_HANDLE, NTCAN_OPERATION_ABORTED, NTCAN_PENDING_READ}},
    {Call::Read, {NTCAN_RX_TIMEOUT, NTCAN_OPERATION_ABORTED, NTCAN_INVALID_HANDLE}},
    {Call::Status, {NTCAN_CONTR_OFF_BUS, NTCAN_SOCK_CMD_TIMEOUT, NTCAN_INVALID_HANDLE}},
};

// "NTCAN_SOCK_CONN_TIMEOUT(0x00000180)", as every message shows a status.
std::string status_text(NTCAN_RESULT s) { return can_error_str(static_cast<unsigned long>(static_cast<long>(s))); }
std::string line_text(NTCAN_RESULT s) { return "Line : 1mess: " + status_text(s); }
// canIdAdd reporting the identifier as enabled already counts as success.
int added(NTCAN_RESULT s) { return s == NTCAN_ID_ALREADY_ENABLED ? 0 : s; }

// The forms of init: registering, plain (enabling the address's identifiers
// 5, 0x181, 0x281), and enabling one identifier without registering.
int registering(NodeProbe& n) { return n.init(0x580 + n.value()->i2_data); }
int plain(NodeProbe& n) {
  n.set_address(1, 5, 0x181, 0x281);
  return n.init();
}
int single(NodeProbe& n) { return n.init(0x585, 1); }

// Whatever the fault, the library never calls the driver on a handle it has
// closed, though the driver hands closed numbers out again.
class FaultMatrix : public testsupport::ReusedHandlesTest, public testing::WithParamInterface<Case> {
 public:
  static const std::vector<Place>& places();

  // The case's fault on net 0 (line 1): `count` calls fail after `good` ones.
  void fail(int good = 0, int count = 1) { ntcan_sim::fail_after(0, call, good, s, count); }
  Node started(int node, int ident, const std::string& name = "") {
    auto n = node_on(1, node, name);
    EXPECT_EQ(n->init(ident), 0);
    return n;
  }
  Texts texts(const std::string& origin) { return log_->texts(origin); }
  Handles open_on_line1() { return ntcan_sim::handles(0); }
  uint64_t calls(Call c) { return ntcan_sim::calls(c, 0); }
  // The simulated node 5 on line 1, answering SDO uploads.
  std::unique_ptr<canopen_sim::Device> device() {
    clock_->set_query_tick_us(1000);  // waits without answer end
    return std::make_unique<canopen_sim::Device>(0, 5);
  }

  // Node `node` on line 1 meets the fault in `init`, logged under `origin`.
  Node init_fails(int node, int (*init)(NodeProbe&), const char* origin, const std::string& text) {
    fail();
    auto n = node_on(1, node);
    EXPECT_EQ(init(*n), s);
    EXPECT_EQ(texts(origin), Texts{text});
    return n;
  }
  // Node 5, the first on line 1, registers all the same; its line is kept,
  // closed and supervised; the fill finds the handle unusable.
  void new_line_fails(const char* origin, const std::string& text) {
    auto n = init_fails(5, registering, origin, text);
    EXPECT_TRUE(n->isactive());
    ASSERT_NE(n->line(), nullptr);
    EXPECT_EQ(n->line()->handle(), -1);
    EXPECT_EQ(n->raw_handle(), -1);
    EXPECT_TRUE(open_on_line1().empty());
    can_looping();
    EXPECT_EQ(*n->rx_count(), -1);
    EXPECT_EQ(n->can_return(), NTCAN_INVALID_HANDLE);
    EXPECT_EQ(calls(Call::Take), 0u);
    settle(1);
    EXPECT_EQ(node_on(1, 6)->init(0x586), -1);
    EXPECT_EQ(calls(Call::Open), 1u) << "a second node finds the closed line and tries no open";
  }
  // The first node on line 1, not registering: no identifier, no handle.
  void unregistered_open_fails(int (*init)(NodeProbe&)) {
    auto n = init_fails(5, init, "canOpen returned: ", line_text(s));
    EXPECT_FALSE(n->isactive());
    EXPECT_EQ(n->rx_buffer(), nullptr);
    EXPECT_NE(n->alive_cell(), nullptr);
    EXPECT_EQ(calls(Call::IdAdd), 0u) << "no identifier after a failed open";
    EXPECT_TRUE(open_on_line1().empty());
  }
  // Node 6 joins line 1, open for node 5: registered, without a handle.
  void joining_fails(const char* origin, const std::string& text) {
    auto first = started(5, 0x585);
    auto n = init_fails(6, registering, origin, text);
    EXPECT_EQ(n->raw_handle(), -1);
    EXPECT_EQ(first->line()->handle(), first->raw_handle());
    EXPECT_EQ(open_on_line1(), Handles{first->raw_handle()});
    EXPECT_TRUE(n->isactive());
    can_looping();
    EXPECT_EQ(*n->rx_count(), -1);
    EXPECT_EQ(*first->rx_count(), 0);
  }
  // Supervision reopening line 1 meets `count` faults; a later try opens it.
  void reopen_fails(int count, const char* origin, const std::string& text) {
    gateway_.write_plugin("PeerName[0]=\"127.000.000.001\"\n");
    auto n = started(5, 0x585);
    close_line_1_by_supervision();
    const uint64_t before = calls(call);
    fail(0, count);
    ASSERT_TRUE(run_until([&] { return calls(call) == before + count; }));
    EXPECT_EQ(texts(origin), Texts(count, text));
    EXPECT_EQ(n->line()->handle(), -1);
    EXPECT_TRUE(open_on_line1().empty());
    // An unreachable gateway is asked to reset itself; nothing else is.
    const size_t resets = s == NTCAN_SOCK_CONN_TIMEOUT ? 1 : 0;
    EXPECT_EQ(gateway_.calls().size(), resets);
    EXPECT_EQ(log_->count("system called with : "), resets);
    ASSERT_TRUE(run_until([&] { return n->line()->handle() > 0; }));
    EXPECT_EQ(open_on_line1(), Handles{n->line()->handle()});
  }
  // Master node 6 fails to close its own handle when `close` takes it away.
  void own_close_fails(const std::function<void(Node&)>& close) {
    auto first = started(5, 0x585);
    auto n = started(6, 0x586, "MOVED");
    fail();
    close(n);
    EXPECT_EQ(texts("D_can::can_close returned: "), Texts{status_text(s)});
    EXPECT_TRUE(!n || n->raw_handle() == -1) << "the handle is forgotten";
    EXPECT_EQ(open_on_line1(), Handles{first->raw_handle()});
    const uint64_t takes = calls(Call::Take);
    can_looping();
    EXPECT_EQ(calls(Call::Take), takes + 1) << "node 5 alone is polled";
  }
  // Node 5, first on line 1: `init` meets the fault after `good` identifiers.
  void init_id_fails(int (*init)(NodeProbe&), int good, const Ids& enabled) {
    auto n = node_on(1, 5);
    fail(good);
    EXPECT_EQ(init(*n), added(s));
    EXPECT_EQ(ntcan_sim::enabled_ids(n->raw_handle()), enabled);
    EXPECT_EQ(n->isactive(), init == registering) << "registered before the identifier";
    EXPECT_EQ(open_on_line1(), Handles{n->raw_handle()});
  }
  // `change` of master node 5's filter meets the fault: the filter stays.
  void filter_kept(int (*change)(NodeProbe&), int result) {
    auto n = started(5, 0x585);
    fail();
    EXPECT_EQ(change(*n), result);
    EXPECT_EQ(ntcan_sim::enabled_ids(n->raw_handle()), Ids{0x585});
  }
  // Device code receives while a frame waits: the failing status is returned
  // and kept, and the next call gets the frame.
  void receive_fails(int (*receive)(NodeProbe&, CMSG*, int*)) {
    auto n = started(5, 0x585);
    ntcan_sim::inject(0, ntcan_sim::make_frame(0x585, {1}));
    fail();
    CMSG frames[100];
    int count = 10;
    EXPECT_EQ(receive(*n, frames, &count), s);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(n->can_return(), s);
    count = 10;
    EXPECT_EQ(receive(*n, frames, &count), 0);
    EXPECT_EQ(count, 1);
  }
  // A segmented upload from the simulated node 5 meets the fault after `good`
  // calls, logged as the failed `step` (if any), with `requests` requests.
  void upload_fails(int good, const char* step, uint64_t requests) {
    auto n = started(5, 0x585);
    auto node5 = device();
    fail(good);
    char buf[64] = {};
    EXPECT_EQ(n->segSdoRead(5, 0x1008, 0, buf), s);
    EXPECT_EQ(texts("segSdoRead"),
              step ? Texts{"--Error: " + std::string(step) + " failed with error " + std::to_string(s)} : Texts{});
    EXPECT_EQ(node5->sdo_requests(), requests);
    EXPECT_EQ(buf[0], '\0');
  }
  // Node 5 polls the simulated node 5 for an SDO answer while one call, or
  // every call, fails: `result`, the identifier `ident` left in the frame,
  // `takes` takes, the status word `word` afterwards.
  void poll_fails(bool every, int result, int ident, uint64_t takes, int word) {
    auto n = started(5, 0x585);
    auto node5 = device();
    every ? ntcan_sim::fail_until_cleared(0, call, s) : fail();
    int polled = 0x605, length = 8;
    unsigned char data[8] = {0x40, 0x08, 0x10, 0, 1, 2, 3, 4};  // upload 0x1008
    EXPECT_EQ(n->can_poll(&polled, &length, data), result);
    EXPECT_EQ(polled, ident);
    EXPECT_TRUE(ident != 0x605 || (length == 8 && data[4] == 1)) << "without a reply the request is left as it was";
    EXPECT_EQ(calls(Call::Take), takes);
    EXPECT_EQ(n->can_return(), word);
  }

  const NTCAN_RESULT s = GetParam().status;
  const Call call = GetParam().place->call;
  testsupport::FakeGateway gateway_;
};

const std::vector<Place>& FaultMatrix::places() {
  static const std::vector<Place> table = {
      {"NewLineOfARegisteringInit", Call::Open,
       [](FaultMatrix& t) { t.new_line_fails("canOpen returned: ", line_text(t.s)); }},
      {"NewLineOfAPlainInit", Call::Open, [](FaultMatrix& t) { t.unregistered_open_fails(plain); }},
      {"NewLineOfASingleIdentifierInit", Call::Open, [](FaultMatrix& t) { t.unregistered_open_fails(single); }},
      {"NodeJoiningAnOpenLine", Call::Open,
       [](FaultMatrix& t) { t.joining_fails("canOpen returned: ", line_text(t.s)); }},
      {"ReopenBySupervision", Call::Open,
       [](FaultMatrix& t) { t.reopen_fails(1, "canOpen returned: ", line_text(t.s)); }},

      {"NewLine", Call::SetBaudrate, [](FaultMatrix& t) {
         t.new_line_fails("canSetBaudrate returned: ", status_text(t.s));
         EXPECT_TRUE(t.texts("canOpen returned: ").empty());
         EXPECT_EQ(t.calls(Call::Close), 1u) << "the new handle is closed again";
       }},
      {"NodeJoiningAnOpenLine", Call::SetBaudrate,
       [](FaultMatrix& t) { t.joining_fails("canSetBaudrate returned: ", status_text(t.s)); }},
      {"ReopenBySupervision", Call::SetBaudrate,
       [](FaultMatrix& t) { t.reopen_fails(2, "canSetBaudrate returned: ", status_text(t.s)); }},

      {"OwnHandleOfAMasterMovedByAClient", Call::Close, [](FaultMatrix& t) {
         t.own_close_fails([&t](Node& n) {
           t.client_write("MOVED", IIII{1, 7, 0, 0});
           EXPECT_TRUE(n->has_changed());
         });
       }},
      {"OwnHandleOfADestroyedMaster", Call::Close,
       [](FaultMatrix& t) { t.own_close_fails([](Node& n) { n.reset(); }); }},
      {"OwnHandleOfAMasterClosedByDeviceCode", Call::Close,
       [](FaultMatrix& t) { t.own_close_fails([&t](Node& n) { EXPECT_EQ(n->can_close(), t.s); }); }},
      {"LineClosedBySupervision", Call::Close, [](FaultMatrix& t) {
         auto n = t.started(5, 0x585);
         t.fail();
         t.close_line_1_by_supervision();
         EXPECT_EQ(t.texts("canline::canClose returned: "), Texts{status_text(t.s)});
         EXPECT_FALSE(n->line()->is_open());
         EXPECT_TRUE(t.open_on_line1().empty());
       }},
      {"NewHandleAfterAFailedBaudRate", Call::Close, [](FaultMatrix& t) {
         ntcan_sim::fail_next(0, Call::SetBaudrate, NTCAN_CONTR_BUSY);
         t.fail();
         auto n = t.node_on(1, 5);
         EXPECT_EQ(n->init(0x585), NTCAN_CONTR_BUSY) << "the close's own status is not reported";
         EXPECT_TRUE(t.texts("canline::canClose returned: ").empty());
         EXPECT_TRUE(t.texts("D_can::can_close returned: ").empty());
         EXPECT_TRUE(t.open_on_line1().empty());
       }},

      // A failure stops the later identifiers; the reported success goes on.
      {"FirstIdentifierOfAPlainInit", Call::IdAdd,
       [](FaultMatrix& t) { t.init_id_fails(plain, 0, added(t.s) ? Ids{} : Ids{0x181, 0x281}); }},
      {"SecondIdentifierOfAPlainInit", Call::IdAdd,
       [](FaultMatrix& t) { t.init_id_fails(plain, 1, added(t.s) ? Ids{5} : Ids{5, 0x281}); }},
      {"RegisteringInitOfAMaster", Call::IdAdd, [](FaultMatrix& t) { t.init_id_fails(registering, 0, {}); }},
      {"RegisteringInitOfAFollower", Call::IdAdd, [](FaultMatrix& t) {
         auto master = t.started(5, 0x585);
         auto follower = t.node_on(1, 5, "FOLLOWER");
         t.fail();
         EXPECT_EQ(follower->init(0x705), added(t.s));
         EXPECT_FALSE(follower->isactive());
         EXPECT_EQ(follower->rx_buffer(), master->rx_buffer());
         EXPECT_EQ(ntcan_sim::enabled_ids(master->raw_handle()), Ids{0x585});
         EXPECT_EQ(t.open_on_line1(), Handles{master->raw_handle()});
       }},
      {"SingleIdentifierInit", Call::IdAdd, [](FaultMatrix& t) { t.init_id_fails(single, 0, {}); }},
      {"AddIdent", Call::IdAdd,
       [](FaultMatrix& t) { t.filter_kept([](NodeProbe& n) { return n.AddIdent(0x705); }, added(t.s)); }},
      {"InitEmergency", Call::IdAdd,
       [](FaultMatrix& t) { t.filter_kept([](NodeProbe& n) { return n.init_emergency(); }, added(t.s)); }},

      {"DelIdentOfAMaster", Call::IdDelete,
       [](FaultMatrix& t) { t.filter_kept([](NodeProbe& n) { return n.DelIdent(0x585); }, t.s); }},

      {"EverySendingOperation", Call::Send, [](FaultMatrix& t) {
         auto n = t.started(5, 0x585);
         unsigned char data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
         int ident = 0x123;
         const std::vector<std::pair<const char*, std::function<int()>>> operations = {
             {"can_write", [&] { return n->can_write(0x123, 8, data); }}, {"rtr()", [&] { return n->rtr(); }},
             {"rtr(ident)", [&] { return n->rtr(&ident); }}, {"rtr(ident, l)", [&] { return n->rtr(&ident, 3); }},
             {"start_node", [&] { return n->start_node(); }}, {"stop_node", [&] { return n->stop_node(); }},
             {"reset_node", [&] { return n->reset_node(); }}, {"modinit", [&] { return n->modinit(); }},
             {"can_SDO", [&] { return n->can_SDO(0x1008, 0); }}};
         for (const auto& op : operations) {
           t.fail();
           EXPECT_EQ(op.second(), t.s) << op.first;
         }
         EXPECT_TRUE(ntcan_sim::trace(0).empty()) << "nothing went out";
         EXPECT_EQ(n->can_return(), 0) << "sending leaves the status word alone";
       }},
      {"PollRequest", Call::Send, [](FaultMatrix& t) { t.poll_fails(false, t.s, 0x605, 0, 0); }},
      {"SdoInitiateRequest", Call::Send, [](FaultMatrix& t) { t.upload_fails(0, "initiateUpload", 0); }},
      {"SdoSegmentRequest", Call::Send, [](FaultMatrix& t) { t.upload_fails(1, "requestSegment", 1); }},
      {"IdentityRead", Call::Send, [](FaultMatrix& t) {
         auto n = t.started(5, 0x585, "PUMP");
         auto node5 = t.device();
         t.fail();
         EXPECT_EQ(n->get_manufacture(), t.s);
         EXPECT_EQ(t.client_text("PUMP.MANU"), "error");
       }},
      {"CommandPropertyWrittenByAClient", Call::Send, [](FaultMatrix& t) {
         auto n = t.started(5, 0x585, "PUMP");
         t.settle(1);  // the supervision thread has logged its start
         const size_t logged = t.log_->entries().size();
         t.fail();
         t.client_write("PUMP.START", 1);
         EXPECT_EQ(t.client_int("PUMP.START"), 1) << "the value is kept";
         EXPECT_TRUE(ntcan_sim::trace(0).empty());
         EXPECT_EQ(t.log_->entries().size(), logged) << "the failure is not reported";
       }},

      {"TakeByDeviceCode", Call::Take,
       [](FaultMatrix& t) { t.receive_fails([](NodeProbe& n, CMSG* f, int* c) { return n.can_get(f, c); }); }},
      {"FillOfTheServerLoop", Call::Take, [](FaultMatrix& t) {
         t.receive_fails([](NodeProbe& n, CMSG* f, int* c) {
           EXPECT_EQ(can_looping(), 0);
           return n.can_array(f, c);
         });
       }},
      // After one failed take the next takes the reply; 50 failed takes are
      // no reply (32).
      {"OneTakeOfAPoll", Call::Take, [](FaultMatrix& t) { t.poll_fails(false, 0, 0x585, 2, 0); }},
      {"EveryTakeOfAPoll", Call::Take, [](FaultMatrix& t) { t.poll_fails(true, 32, 0x605, 50, 32); }},
      {"SdoWaitForTheInitiateResponse", Call::Take, [](FaultMatrix& t) { t.upload_fails(0, "initUploadResponse", 1); }},
      {"SdoWaitForASegment", Call::Take, [](FaultMatrix& t) { t.upload_fails(1, nullptr, 2); }},

      {"ReadByDeviceCode", Call::Read,
       [](FaultMatrix& t) { t.receive_fails([](NodeProbe& n, CMSG* f, int* c) { return n.can_read(f, c); }); }},

      {"OneFailedQueryBySupervision", Call::Status, [](FaultMatrix& t) {
         auto n = t.started(5, 0x585);
         t.settle(1);
         t.advance_s(61);
         t.fail();
         t.advance_s(2);
         EXPECT_EQ(t.texts("1. canStatus returned: "), Texts{line_text(t.s)});
         EXPECT_EQ(n->line()->handle(), n->raw_handle()) << "one failure is tolerated";
         EXPECT_EQ(t.calls(Call::Close), 0u);
       }},
      {"TwoFailedQueriesBySupervision", Call::Status, [](FaultMatrix& t) {
         auto creator = t.started(5, 0x585);
         auto later = t.started(6, 0x586);
         t.close_line_1_by_supervision(t.s);
         EXPECT_EQ(t.texts("2. canStatus returned: "), Texts{line_text(t.s)});
         // The line closed every handle on it; the nodes' operations answer
         // 77 without a call (the lifecycle tests follow them further).
         EXPECT_TRUE(t.open_on_line1().empty());
         const uint64_t sends = t.calls(Call::Send);
         EXPECT_EQ(later->start_node(), NTCAN_INVALID_HANDLE);
         EXPECT_EQ(t.calls(Call::Send), sends);
       }},
  };
  return table;
}

std::vector<Case> all_cases() {
  std::vector<Case> cases;
  for (const Place& p : FaultMatrix::places())
    for (NTCAN_RESULT s : kFails.at(p.call)) cases.push_back({&p, s});
  return cases;
}

void PrintTo(const Case& c, std::ostream* os) {
  *os << c.place->name << " / " << ntcan_sim::call_name(c.place->call) << " / " << status_text(c.status);
}

}  // namespace

TEST_P(FaultMatrix, GivesTheDocumentedResultLogAndState) { GetParam().place->run(*this); }

// Named <call>_<place>_<status>, the status without its NTCAN_ prefix.
INSTANTIATE_TEST_SUITE_P(Driver, FaultMatrix, testing::ValuesIn(all_cases()), [](const testing::TestParamInfo<Case>& i) {
  const std::string status = status_text(i.param.status);
  return std::string(ntcan_sim::call_name(i.param.place->call)) + "_" + i.param.place->name + "_" +
         status.substr(6, status.find('(') - 6);
});
