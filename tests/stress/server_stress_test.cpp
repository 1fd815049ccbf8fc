// A server under load: the polling loop, device code, clients and a thread
// that keeps constructing and destroying nodes, on four CAN lines at once,
// while the simulated driver fails status queries and reopens at random so
// that the supervision threads close and reopen lines. The framework clock
// runs fast, so that supervision goes through many cycles.
//
// The run lasts VORBEL_STRESS_SECONDS seconds (20 by default). Checked
// throughout: every call answers with one of its documented codes, the
// polling registry never holds two entries for one line and node id nor a
// destroyed node, and every saved configuration holds the addresses that
// clients set last. Checked at the end: the saved configuration loads back
// into fresh nodes with those addresses, and once every node is gone the
// registry is empty and the polling loop touches no handle.
//
// Device code and clients follow a TELVO server's rule: whatever works on a
// node holds the lock of the node's equipment function.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "D_vorbel.h"
#include "canopen_device.h"
#include "gateway_fixture.h"
#include "node/node_registry.h"
#include "ntcan_sim.h"
#include "telvo_clock.h"
#include "telvo_log.h"
#include "test_support.h"

using ntcan_sim::Call;

namespace {

int stress_seconds() {
  const char* s = std::getenv("VORBEL_STRESS_SECONDS");
  const int v = s ? std::atoi(s) : 0;
  return v > 0 ? v : 20;
}

// The registry lock is protected; the registry check takes it as the
// polling loop does. Never instantiated.
class RegistryView : public D_can {
 public:
  static std::mutex& lock() { return mx_loop; }
};

// A device class with an override of the server loop's fill: as such a
// class must, it leaves the loop first thing in its destructor. A fill after
// that would be a poll of a node being destroyed.
class DeviceNode : public D_can {
 public:
  using D_can::D_can;
  ~DeviceNode() override {
    dellist();
    alive_flag_ = false;
  }
  int can_fill() override {
    if (!alive_flag_) ++dead_polls;
    return D_can::can_fill();
  }
  static std::atomic<long> dead_polls;

 private:
  std::atomic<bool> alive_flag_{true};
};
std::atomic<long> DeviceNode::dead_polls{0};

constexpr int kLines = 4;  // lines 1..4; line 4 has no device on it
constexpr std::array<int, 3> kStatusFaults = {NTCAN_CONTR_OFF_BUS, NTCAN_SOCK_CMD_TIMEOUT, NTCAN_INVALID_DRIVER};
constexpr std::array<int, 3> kOpenFaults = {NTCAN_SOCK_CONN_TIMEOUT, NTCAN_NET_NOT_FOUND,
                                            NTCAN_INSUFFICIENT_RESOURCES};

enum Op {
  kInit,
  kSdo,
  kSdoOk,
  kNmt,
  kPoll,
  kRead,
  kBatch,
  kRtr,
  kLoop,
  kAddress,
  kCommand,
  kSave,
  kClientRead,
  kChurn,
  kRegistryCheck,
  kOpCount
};
const char* const kOpNames[kOpCount] = {"init",       "sdo upload", "sdo ok",   "nmt",        "can_poll",
                                        "can_read",   "batch",      "rtr",      "can_looping", "client address",
                                        "client command", "config save", "client read", "churned nodes",
                                        "registry checks"};

// Counts operations and collects every broken invariant.
class Record {
 public:
  void count(Op op) { ++calls_[op]; }
  long calls(Op op) const { return calls_[op].load(); }

  void check(Op op, const std::string& what, int result, const std::set<int>& allowed) {
    count(op);
    if (!allowed.count(result)) violation(what + " returned " + std::to_string(result));
  }
  void violation(const std::string& text) {
    std::lock_guard<std::mutex> lk(mx_);
    if (violations_.size() < 40) violations_.push_back(text);
    ++violation_count_;
  }
  std::vector<std::string> violations() {
    std::lock_guard<std::mutex> lk(mx_);
    return violations_;
  }
  long violation_count() {
    std::lock_guard<std::mutex> lk(mx_);
    return violation_count_;
  }

 private:
  std::array<std::atomic<long>, kOpCount> calls_{};
  std::mutex mx_;
  std::vector<std::string> violations_;
  long violation_count_ = 0;
};

// Counts log messages by origin; keeps nothing else, so a long run does not
// grow.
class LogCounter {
 public:
  LogCounter() {
    telvo::set_log_sink([this](const telvo::LogEntry& e) {
      std::lock_guard<std::mutex> lk(mx_);
      ++counts_[e.origin];
    });
  }
  ~LogCounter() { telvo::set_log_sink(nullptr); }
  long count(const std::string& origin) {
    std::lock_guard<std::mutex> lk(mx_);
    auto it = counts_.find(origin);
    return it == counts_.end() ? 0 : it->second;
  }

 private:
  std::mutex mx_;
  std::map<std::string, long> counts_;
};

std::set<int> with(std::set<int> codes, const std::array<int, 3>& more) {
  codes.insert(more.begin(), more.end());
  return codes;
}

// Initialisation: 0, -1 (line down or out of range), 77 (the driver refusing
// a stale or missing handle in canIdAdd) or the status of a failed open.
const std::set<int> kInitCodes = with({0, -1, NTCAN_INVALID_HANDLE}, kOpenFaults);

// One equipment function with its nodes, the addresses its clients set last
// and the file its configuration is saved to.
struct Group {
  Group(const std::string& name, const std::string& file) : eq(name), file(file) {}
  EqFct eq;
  std::string file;
  std::vector<std::unique_ptr<D_can>> nodes;
  std::vector<IIII> last;         // guarded by eq.lock()
  std::vector<bool> needs_init;   // guarded by eq.lock()
};

// Addresses clients move nodes to: mostly lines 1..4, now and then line 0
// (no line), node ids 5 and 6, sometimes further identifiers.
IIII pick_address(std::mt19937& rng) {
  IIII a;
  a.i1_data = rng() % 16 == 0 ? 0 : 1 + static_cast<int>(rng() % kLines);
  a.i2_data = 5 + static_cast<int>(rng() % 2);
  a.i3_data = rng() % 4 == 0 ? 1 + static_cast<int>(rng() % 3) : 0;
  a.i4_data = rng() % 8 == 0 ? static_cast<int>(rng() % 2000) : 0;
  return a;
}

std::string text_of(const IIII& a) {
  return std::to_string(a.i1_data) + "," + std::to_string(a.i2_data) + "," + std::to_string(a.i3_data) + "," +
         std::to_string(a.i4_data);
}

// The address saved for `name` in a configuration file, or nothing.
bool saved_address(const std::string& content, const std::string& name, IIII* out) {
  std::istringstream in(content);
  for (std::string line; std::getline(in, line);) {
    if (line.compare(0, name.size() + 1, name + ":") != 0) continue;
    std::istringstream v(line.substr(name.size() + 1));
    return static_cast<bool>(v >> out->i1_data >> out->i2_data >> out->i3_data >> out->i4_data);
  }
  return false;
}

class Server {
 public:
  Record rec;
  std::atomic<bool> stop{false};
  std::mutex live_mx;
  std::set<const D_can*> live;  // nodes whose destruction has not finished

  void add_live(const D_can* n) {
    std::lock_guard<std::mutex> lk(live_mx);
    live.insert(n);
  }
  void remove_live(const D_can* n) {
    std::lock_guard<std::mutex> lk(live_mx);
    live.erase(n);
  }

  // The registry, seen as the polling loop sees it.
  void check_registry() {
    std::lock_guard<std::mutex> live_lk(live_mx);
    std::lock_guard<std::mutex> lk(RegistryView::lock());
    std::set<std::pair<int, int>> keys;
    for (D_can* c : vorbel::can_list()) {
      if (!live.count(c)) {
        rec.violation("the registry holds a destroyed node");
        continue;  // not to be touched
      }
      const IIII* a = c->value();
      if (!keys.insert({a->i1_data, a->i2_data}).second)
        rec.violation("two registry entries for line " + std::to_string(a->i1_data) + " node id " +
                      std::to_string(a->i2_data));
    }
    rec.count(kRegistryCheck);
  }

  // One operation of device code on a node of the group.
  void device_turn(Group& g, std::mt19937& rng) {
    const size_t i = rng() % g.nodes.size();
    D_can& n = *g.nodes[i];
    std::lock_guard<std::recursive_mutex> lk(g.eq.lock());
    const int id = n.value()->i2_data;
    if (n.has_changed() || g.needs_init[i]) {
      const int r = n.init(0x580 + id);
      rec.check(kInit, "init(0x580 + id)", r, kInitCodes);
      rec.check(kInit, "init_emergency", n.init_emergency(), kInitCodes);
      rec.check(kInit, "init(0x700 + id)", n.init(0x700 + id), kInitCodes);
      g.needs_init[i] = r != 0;
      return;
    }
    switch (rng() % 9) {
      case 0: {
        const int r = n.get_manufacture();
        rec.check(kSdo, "get_manufacture", r, {0, -1, NTCAN_INVALID_HANDLE});
        if (r == 0) rec.count(kSdoOk);
        break;
      }
      case 1: {
        const int r = rng() % 2 ? n.get_hwversion() : n.get_swversion();
        rec.check(kSdo, "get_hwversion/get_swversion", r, {0, -1, NTCAN_INVALID_HANDLE});
        if (r == 0) rec.count(kSdoOk);
        break;
      }
      case 2: {
        const int which = static_cast<int>(rng() % 3);
        const int r = which == 0 ? n.start_node() : which == 1 ? n.stop_node() : n.reset_node();
        rec.check(kNmt, "NMT command", r, {0, NTCAN_INVALID_HANDLE});
        break;
      }
      case 3: {
        int ident = 0x600 + id, length = 8;
        unsigned char data[8] = {0x40, 0x09, 0x10, 0x00, 0, 0, 0, 0};
        rec.check(kPoll, "can_poll", n.can_poll(&ident, &length, data), {0, 32, NTCAN_INVALID_HANDLE});
        break;
      }
      case 4: {
        CMSG frames[10];
        int count = 10;
        const int r = n.can_read(frames, &count);
        rec.check(kRead, "can_read", r, {0, NTCAN_RX_TIMEOUT, NTCAN_INVALID_HANDLE});
        if (count < -1 || count > 10) rec.violation("can_read count " + std::to_string(count));
        break;
      }
      case 5:
      case 6: {
        CMSG batch[100];
        int count = -7;
        const int r = n.can_array(batch, &count);
        rec.check(kBatch, "can_array", r, {-1, 0, 32, NTCAN_RX_TIMEOUT, NTCAN_INVALID_HANDLE});
        if (r == -1) break;
        if (count < 0 || count > 100) rec.violation("can_array count " + std::to_string(count));
        rec.check(kBatch, "can_return", n.can_return(), {0, 32, NTCAN_RX_TIMEOUT, NTCAN_INVALID_HANDLE});
        rec.check(kBatch, "can_emergency", n.can_emergency(id, batch, &count), {0, 100});
        rec.check(kBatch, "check_alive", n.alive_->check_alive(id, batch, &count), {0, 100});
        break;
      }
      case 7:
        rec.check(kRtr, "rtr", n.rtr(), {0, NTCAN_INVALID_HANDLE});
        break;
      default:
        rec.check(kRtr, "can_SDO", n.can_SDO(0x100A, 0), {0, NTCAN_INVALID_HANDLE});
        break;
    }
  }

  // One client request to the group's equipment function.
  void client_turn(Group& g, std::mt19937& rng) {
    const size_t i = rng() % g.nodes.size();
    const std::string name = g.nodes[i]->basename();
    const unsigned action = rng() % 10;
    if (action < 4) {
      const IIII a = pick_address(rng);
      EqData in;
      in.set(a);
      std::lock_guard<std::recursive_mutex> lk(g.eq.lock());
      rec.check(kAddress, "client_set of the address", g.eq.client_set(name, in, "stress", "ctl"), {0});
      g.last[i] = a;
    } else if (action < 6) {
      static const char* const kCommands[] = {".START", ".STOP", ".RESET"};
      EqData in;
      in.set(static_cast<int>(rng() % 100));
      rec.check(kCommand, "client_set of a command", g.eq.client_set(name + kCommands[rng() % 3], in, "stress", "ctl"),
                {0});
    } else if (action < 7) {
      std::lock_guard<std::recursive_mutex> lk(g.eq.lock());
      std::string err;
      rec.check(kSave, "telvo_save_config", telvo_save_config(g.file, {&g.eq}, &err), {0});
      const std::string content = testsupport::read_file(g.file);
      for (size_t k = 0; k < g.nodes.size(); ++k) {
        IIII saved;
        const std::string node_name = g.nodes[k]->basename();
        if (!saved_address(content, node_name, &saved))
          rec.violation("no saved address for " + node_name);
        else if (saved != g.last[k])
          rec.violation("saved address of " + node_name + " is " + text_of(saved) + ", last set " +
                        text_of(g.last[k]));
      }
    } else {
      std::lock_guard<std::recursive_mutex> lk(g.eq.lock());
      EqData out;
      rec.check(kClientRead, "client_get of the address", g.eq.client_get(name, &out), {0});
      const IIII* a = out.get_iiii();
      if (!a || *a != g.last[i]) rec.violation("client read of " + name + " differs from the address last set");
      EqData more;
      g.eq.client_get(name + (rng() % 2 ? ".CONDITION" : ".MANU"), &more);
      g.eq.client_get(name + ".ALIVE", &more);
    }
  }

  // A node that lives for a few operations: constructed, addressed,
  // initialised, used and destroyed while everything else goes on.
  void churn_turn(Group& g, std::mt19937& rng, long k) {
    std::unique_ptr<DeviceNode> n;
    {
      std::lock_guard<std::recursive_mutex> lk(g.eq.lock());
      n = std::make_unique<DeviceNode>("CHURN" + std::to_string(k % 1000), &g.eq);
    }
    add_live(n.get());
    {
      std::lock_guard<std::recursive_mutex> lk(g.eq.lock());
      IIII a{1 + static_cast<int>(rng() % kLines), 5 + static_cast<int>(rng() % 3), 0, 0};
      n->set_value(&a);
      rec.check(kInit, "init of a short-lived node", n->init(0x580 + a.i2_data), kInitCodes);
      for (unsigned r = rng() % 4; r > 0; --r) {
        CMSG batch[100];
        int count = 0;
        rec.check(kBatch, "can_array of a short-lived node", n->can_array(batch, &count),
                  {-1, 0, 32, NTCAN_RX_TIMEOUT, NTCAN_INVALID_HANDLE});
      }
    }
    const D_can* gone = n.get();
    {
      std::lock_guard<std::recursive_mutex> lk(g.eq.lock());
      n.reset();
    }
    remove_live(gone);
    rec.count(kChurn);
  }
};

// Ends the process if the run hangs: a deadlock must not wait for CTest's
// time-out.
class Watchdog {
 public:
  explicit Watchdog(std::chrono::seconds limit)
      : thread_([this, limit] {
          std::unique_lock<std::mutex> lk(mx_);
          if (!cv_.wait_for(lk, limit, [this] { return done_; })) {
            std::fprintf(stderr, "stress: still running %lld s after its start; giving up\n",
                         static_cast<long long>(limit.count()));
            std::abort();
          }
        }) {}
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> lk(mx_);
      done_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }

 private:
  std::mutex mx_;
  std::condition_variable cv_;
  bool done_ = false;
  std::thread thread_;
};

}  // namespace

TEST(ServerStress, ClientsDeviceCodeAndLineOutagesTogetherKeepEveryInvariant) {
  const int seconds = stress_seconds();
  Watchdog watchdog(std::chrono::seconds(seconds + 90));

  // Framework time runs 200 times faster than real time: the supervision
  // threads query their lines every 5 ms and an SDO wait gives up after
  // 10 to 15 ms.
  telvo::set_time_scale(200);
  ntcan_sim::reset();
  ntcan_sim::set_trace_enabled(false);
  ntcan_sim::set_time_scale(0.01);  // a blocking read waits 10 ms
  testsupport::FakeGateway gateway;
  gateway.write_plugin("PeerName[0]=\"127.000.000.001\"\nPeerName[1]=\"127.000.000.002\"\n");
  LogCounter log;
  testsupport::TempDir dir;
  Server server;

  // Two simulated CANopen nodes on each of lines 1..3, with heartbeats.
  std::vector<std::unique_ptr<canopen_sim::Device>> devices;
  for (int net = 0; net < 3; ++net)
    for (int id : {5, 6}) {
      canopen_sim::Options o;
      o.heartbeat_ms = 1000;
      devices.push_back(std::make_unique<canopen_sim::Device>(net, id, o));
    }

  // Two equipment functions of three nodes each, initialised as device code
  // does at start-up; a third one for the short-lived nodes.
  Group a("CANSTRESS_A", dir.file("a.conf")), b("CANSTRESS_B", dir.file("b.conf"));
  Group churn("CANSTRESS_C", dir.file("c.conf"));
  for (Group* g : {&a, &b}) {
    for (int k = 0; k < 3; ++k) {
      std::lock_guard<std::recursive_mutex> lk(g->eq.lock());
      g->nodes.push_back(std::make_unique<D_can>(g->eq.name().substr(10) + std::to_string(k) + " node", &g->eq));
      IIII addr{1 + k, g == &a ? 5 : 6, 0, 0};
      g->nodes.back()->set_value(&addr);
      g->last.push_back(addr);
      g->needs_init.push_back(true);
      server.add_live(g->nodes.back().get());
    }
  }
  std::mt19937 setup_rng(1);
  for (Group* g : {&a, &b})
    for (size_t k = 0; k < g->nodes.size(); ++k) server.device_turn(*g, setup_rng);

  std::vector<std::thread> workers;
  workers.emplace_back([&] {
    while (!server.stop) {
      server.rec.check(kLoop, "can_looping", can_looping(), {0});
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
  });
  int seed = 10;
  for (Group* g : {&a, &b}) {
    workers.emplace_back([&, g, s = seed++] {
      std::mt19937 rng(static_cast<unsigned>(s));
      while (!server.stop) {
        server.device_turn(*g, rng);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
    });
    workers.emplace_back([&, g, s = seed++] {
      std::mt19937 rng(static_cast<unsigned>(s));
      while (!server.stop) {
        server.client_turn(*g, rng);
        std::this_thread::sleep_for(std::chrono::microseconds(500));
      }
    });
  }
  workers.emplace_back([&] {
    std::mt19937 rng(42);
    // Every master registered allocates receive buffers that are never
    // released (followers may share them), so the churn is paced to keep
    // long runs small: about 100 nodes a second.
    for (long k = 0; !server.stop; ++k) {
      server.churn_turn(churn, rng, k);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });
  workers.emplace_back([&] {
    while (!server.stop) {
      server.check_registry();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  // The driver misbehaves: single failed status queries (tolerated), two in
  // a row (the line is closed), failed reopens, and nodes report emergencies.
  long faults = 0;
  workers.emplace_back([&] {
    std::mt19937 rng(7);
    while (!server.stop) {
      std::this_thread::sleep_for(std::chrono::milliseconds(15));
      const int net = static_cast<int>(rng() % kLines);
      switch (rng() % 4) {
        case 0:
        case 1:
          ntcan_sim::fail_next(net, Call::Status, kStatusFaults[rng() % 3], 1 + static_cast<int>(rng() % 2));
          ++faults;
          break;
        case 2:
          ntcan_sim::fail_next(net, Call::Open, kOpenFaults[rng() % 3], 1 + static_cast<int>(rng() % 3));
          ++faults;
          break;
        default:
          devices[rng() % devices.size()]->send_emergency(0x1000 + static_cast<uint16_t>(rng() % 16), 1);
          break;
      }
    }
  });

  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  server.stop = true;
  for (auto& w : workers) w.join();
  ntcan_sim::clear_faults();
  server.check_registry();

  // The configuration saved now loads back into fresh nodes with the
  // addresses the clients set last.
  for (Group* g : {&a, &b}) {
    EXPECT_EQ(telvo_save_config(g->file, {&g->eq}), 0);
    EqFct fresh(g->eq.name());
    std::vector<std::unique_ptr<D_can>> copies;
    for (auto& n : g->nodes) copies.push_back(std::make_unique<D_can>(n->basename(), &fresh));
    std::string err;
    EXPECT_EQ(fresh.load_config(g->file, &err), 0) << err;
    for (size_t k = 0; k < copies.size(); ++k)
      EXPECT_EQ(text_of(*copies[k]->value()), text_of(g->last[k])) << g->nodes[k]->basename();
  }

  // Everything goes: the registry empties and the loop touches no handle.
  for (Group* g : {&a, &b}) {
    std::lock_guard<std::recursive_mutex> lk(g->eq.lock());
    for (auto& n : g->nodes) {
      const D_can* gone = n.get();
      n.reset();
      server.remove_live(gone);
    }
  }
  server.check_registry();
  {
    std::lock_guard<std::mutex> lk(RegistryView::lock());
    EXPECT_TRUE(vorbel::can_list().empty());
  }
  const uint64_t takes = ntcan_sim::calls(Call::Take);
  EXPECT_EQ(can_looping(), 0);
  EXPECT_EQ(ntcan_sim::calls(Call::Take), takes);
  devices.clear();

  // The figures of the run.
  long operations = 0;
  std::string figures;
  for (int op = 0; op < kOpCount; ++op) {
    const long n = server.rec.calls(static_cast<Op>(op));
    if (op != kSdoOk && op != kRegistryCheck) operations += n;
    figures += std::string(kOpNames[op]) + " " + std::to_string(n) + ", ";
  }
  uint64_t closes = 0, opens = 0, statuses = 0;
  for (int net = 0; net < kLines; ++net) {
    closes += ntcan_sim::calls(Call::Close, net);
    opens += ntcan_sim::calls(Call::Open, net);
    statuses += ntcan_sim::calls(Call::Status, net);
  }
  std::printf("stress: %d s, %ld operations (%s), %ld driver faults injected, %llu status queries, "
              "%llu opens, %llu closes, %ld outages logged, %zu gateway resets\n",
              seconds, operations, figures.c_str(), faults, static_cast<unsigned long long>(statuses),
              static_cast<unsigned long long>(opens), static_cast<unsigned long long>(closes),
              log.count("2. canStatus returned: "), gateway.calls().size());
  testing::Test::RecordProperty("operations", std::to_string(operations));

  EXPECT_EQ(server.rec.violation_count(), 0) << [&] {
    std::string all;
    for (const auto& v : server.rec.violations()) all += v + "\n";
    return all;
  }();
  // The run did what it is for.
  EXPECT_EQ(DeviceNode::dead_polls.load(), 0);
  EXPECT_GT(server.rec.calls(kLoop), 0);
  EXPECT_GT(server.rec.calls(kSdoOk), 0);
  EXPECT_GT(server.rec.calls(kAddress), 0);
  EXPECT_GT(server.rec.calls(kSave), 0);
  EXPECT_GT(server.rec.calls(kChurn), 0);
  EXPECT_GT(log.count("2. canStatus returned: "), 0) << "no line was closed by its supervision";
}
