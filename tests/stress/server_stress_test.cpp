// A server under load for VORBEL_STRESS_SECONDS (20 by default): the polling
// loop, device code, clients and a thread that keeps constructing and
// destroying nodes, on four CAN lines at once, while the simulated driver
// fails status queries and reopens so that supervision closes and reopens
// lines. Checked throughout: every call answers with a documented code, the
// polling registry never holds two entries for one line and node id nor a
// destroyed node, no more handles are open than the nodes alive and the
// lines hold, and a saved configuration loads back into fresh nodes with the
// addresses clients set last. At the end: no driver call ever reached a
// closed handle (the driver hands closed numbers out again, as real drivers
// do), every line holds its own handle alone once the nodes are gone, and
// resident memory has stayed flat after the first quarter of the run.
// Device code and clients hold the lock of the node's equipment function, as
// in a TELVO server.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <mutex>
#include <numeric>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bus_fixture.h"
#include "canopen_device.h"
#include "gateway_fixture.h"
#include "node/node_registry.h"

using ntcan_sim::Call;
using namespace std::chrono_literals;

// The sanitizers' own memory (AddressSanitizer's quarantines of freed memory,
// ThreadSanitizer's shadow and history) grows whatever the program does:
// without the quarantines and with the shadow flushed every second, resident
// memory levels off as it does without them.
#ifdef __SANITIZE_ADDRESS__
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=0:thread_local_quarantine_size_kb=0"; }
#endif
#ifdef __SANITIZE_THREAD__
extern "C" const char* __tsan_default_options() { return "flush_memory_ms=1000"; }
#endif

namespace {

constexpr int kLines = 4;  // lines 1..4; line 4 has no device on it
constexpr std::array<int, 3> kStatusFaults = {NTCAN_CONTR_OFF_BUS, NTCAN_SOCK_CMD_TIMEOUT, NTCAN_INVALID_DRIVER};
constexpr std::array<int, 3> kOpenFaults = {NTCAN_SOCK_CONN_TIMEOUT, NTCAN_NET_NOT_FOUND, NTCAN_INSUFFICIENT_RESOURCES};

// The documented codes. Initialisation: 0, -1 (line down or out of range),
// 77 (the driver refusing a stale or missing handle in canIdAdd) or the
// status of a failed open.
const std::set<int> kInitCodes = {0, -1, NTCAN_INVALID_HANDLE, kOpenFaults[0], kOpenFaults[1], kOpenFaults[2]};
const std::set<int> kSdoCodes = {0, -1, NTCAN_INVALID_HANDLE};
const std::set<int> kSendCodes = {0, NTCAN_INVALID_HANDLE};
const std::set<int> kBatchCodes = {-1, 0, 32, NTCAN_RX_TIMEOUT, NTCAN_INVALID_HANDLE};

enum Op { kInit, kSdo, kSdoOk, kNmt, kPoll, kRead, kBatch, kRtr, kLoop, kAddress, kCommand, kSave, kClientRead,
          kChurn, kRegistryCheck, kWatchedSdo, kOpCount };
const char* const kOpNames[kOpCount] = {
    "init", "sdo upload", "sdo ok", "nmt", "can_poll", "can_read", "batch", "rtr", "can_looping", "client address",
    "client command", "config save", "client read", "churned nodes", "registry checks", "transfers on the watched node"};

std::array<std::atomic<long>, kOpCount> counts{};
std::mutex violations_mx;
std::string violations;  // the first 40
long violation_count = 0;
std::atomic<long> outages{0};

void violation(const std::string& text) {
  std::lock_guard<std::mutex> lk(violations_mx);
  if (violation_count++ < 40) violations += text + "\n";
}
void check(Op op, const std::string& what, int result, const std::set<int>& allowed) {
  ++counts[op];
  if (!allowed.count(result)) violation(what + " returned " + std::to_string(result));
}
// Resident memory of the process in kB (VmRSS).
long resident_kb() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return 0;
}

std::string text_of(const IIII& a) {
  return std::to_string(a.i1_data) + " " + std::to_string(a.i2_data) + " " + std::to_string(a.i3_data) + " " +
         std::to_string(a.i4_data);
}

// A device class with an override of the server loop's fill: as such a
// class must, it leaves the loop first thing in its destructor; from then on
// the registry must not hold it and no fill may reach it.
class DeviceNode : public D_can {
 public:
  using D_can::D_can;
  ~DeviceNode() override {
    dellist();
    gone_ = true;
    for (const auto& entry : testsupport::NodeProbe::registry())
      if (entry.first == this) violation("the registry holds a destroyed node");
  }
  int can_fill() override {
    if (gone_) violation("a fill of a node being destroyed");
    return D_can::can_fill();
  }

 private:
  std::atomic<bool> gone_{false};
};

// A node on a line of its own (line 5) that nothing moves or fails, its
// device sending heartbeats and emergencies while device code runs SDO
// transfers on it back to back. Device code counts, in each fill of the
// server loop, the frames the device sent: none may be lost to a transfer.
class WatchedNode : public D_can {
 public:
  using D_can::D_can;
  ~WatchedNode() override { dellist(); }
  int can_fill() override {
    const int r = D_can::can_fill();
    CMSG batch[100];
    int n = 0;
    if (can_array(batch, &n) != 0) n = 0;
    for (int i = 0; i < n; ++i) seen += batch[i].id == 0x705 || batch[i].id == 0x085;
    alive_->supervise(5, batch, &n);
    return r;
  }
  std::atomic<long> seen{0};
};

// An equipment function with its nodes (with node id `id` on lines 1..3),
// the addresses its clients set last and its configuration file.
struct Group {
  Group(const std::string& name, const testsupport::TempDir& dir, int id) : eq(name), file(dir.file(name)) {
    for (int k = 0; id && k < 3; ++k) {
      nodes.push_back(std::make_unique<D_can>(name.substr(10) + std::to_string(k) + " node", &eq));
      last.push_back(IIII{1 + k, id, 0, 0});
      nodes.back()->set_value(&last.back());
    }
    needs_init.assign(nodes.size(), true);
  }
  EqFct eq;
  std::string file;
  std::vector<std::unique_ptr<D_can>> nodes;
  std::vector<IIII> last;        // guarded by eq.lock()
  std::vector<bool> needs_init;  // guarded by eq.lock()
};

// The registry, seen as the polling loop sees it.
void check_registry() {
  std::set<std::pair<int, int>> keys;
  for (const auto& entry : testsupport::NodeProbe::registry())
    if (!keys.insert({entry.second.i1_data, entry.second.i2_data}).second)
      violation("two registry entries for address " + text_of(entry.second));
  ++counts[kRegistryCheck];
}

// Saves the group's configuration and loads it into fresh nodes.
void check_saved(Group& g) {
  std::lock_guard<std::recursive_mutex> lk(g.eq.lock());
  std::string err;
  check(kSave, "telvo_save_config", telvo_save_config(g.file, {&g.eq}, &err), {0});
  EqFct fresh(g.eq.name());
  std::vector<std::unique_ptr<D_can>> copies;
  for (auto& n : g.nodes) copies.push_back(std::make_unique<D_can>(n->basename(), &fresh));
  if (fresh.load_config(g.file, &err) != 0) return violation("load_config: " + err);
  for (size_t k = 0; k < copies.size(); ++k)
    if (*copies[k]->value() != g.last[k])
      violation("saved address of " + copies[k]->basename() + " reads back as " + text_of(*copies[k]->value()) +
                ", last set " + text_of(g.last[k]));
}

// One operation of device code on a node of the group.
void device_turn(Group& g, std::mt19937& rng) {
  const size_t i = rng() % g.nodes.size();
  D_can& n = *g.nodes[i];
  std::lock_guard<std::recursive_mutex> lk(g.eq.lock());
  const int id = n.value()->i2_data;
  if (n.has_changed() || g.needs_init[i]) {
    const int r = n.init(0x580 + id);
    check(kInit, "init(0x580 + id)", r, kInitCodes);
    check(kInit, "init_emergency", n.init_emergency(), kInitCodes);
    check(kInit, "init(0x700 + id)", n.init(0x700 + id), kInitCodes);
    g.needs_init[i] = r != 0;
    return;
  }
  const unsigned which = rng() % 3;
  int r = 0, ident = 0x600 + id, length = 8, count = 10;
  unsigned char data[8] = {0x40, 0x09, 0x10, 0x00, 0, 0, 0, 0};
  CMSG frames[100];
  switch (rng() % 9) {
    case 0:
    case 1:
      r = which == 0 ? n.get_manufacture() : which == 1 ? n.get_hwversion() : n.get_swversion();
      check(kSdo, "identity upload", r, kSdoCodes);
      if (r == 0) ++counts[kSdoOk];
      break;
    case 2:
      r = which == 0 ? n.start_node() : which == 1 ? n.stop_node() : n.reset_node();
      check(kNmt, "NMT command", r, kSendCodes);
      break;
    case 3:
      check(kPoll, "can_poll", n.can_poll(&ident, &length, data), {0, 32, NTCAN_INVALID_HANDLE});
      break;
    case 4:
      check(kRead, "can_read", n.can_read(frames, &count), {0, NTCAN_RX_TIMEOUT, NTCAN_INVALID_HANDLE});
      if (count < -1 || count > 10) violation("can_read count " + std::to_string(count));
      break;
    case 5:
    case 6:
      count = -7;
      check(kBatch, "can_array", r = n.can_array(frames, &count), kBatchCodes);
      if (r == -1) break;
      if (count < 0 || count > 100) violation("can_array count " + std::to_string(count));
      check(kBatch, "can_return", n.can_return(), {0, 32, NTCAN_RX_TIMEOUT, NTCAN_INVALID_HANDLE});
      check(kBatch, "can_emergency", n.can_emergency(id, frames, &count), {0, 100});
      check(kBatch, "check_alive", n.alive_->check_alive(id, frames, &count), {0, 100});
      break;
    default:
      check(kRtr, "rtr or can_SDO", which ? n.rtr() : n.can_SDO(0x100A, 0), kSendCodes);
  }
}

// One client request to the group's equipment function.
void client_turn(Group& g, std::mt19937& rng) {
  const size_t i = rng() % g.nodes.size();
  const std::string name = g.nodes[i]->basename();
  const unsigned action = rng() % 10;
  std::lock_guard<std::recursive_mutex> lk(g.eq.lock());
  EqData in, out;
  if (action < 4) {
    // Mostly lines 1..4, now and then line 0 (no line); node ids 5 and 6,
    // sometimes further identifiers.
    const IIII a{rng() % 16 == 0 ? 0 : 1 + static_cast<int>(rng() % kLines), 5 + static_cast<int>(rng() % 2),
                 rng() % 4 == 0 ? 1 + static_cast<int>(rng() % 3) : 0,
                 rng() % 8 == 0 ? static_cast<int>(rng() % 2000) : 0};
    in.set(a);
    check(kAddress, "client_set of the address", g.eq.client_set(name, in, "stress", "ctl"), {0});
    g.last[i] = a;
  } else if (action < 6) {
    static const char* const kCommands[] = {".START", ".STOP", ".RESET"};
    in.set(static_cast<int>(rng() % 100));
    check(kCommand, "client_set of a command", g.eq.client_set(name + kCommands[rng() % 3], in, "stress", "ctl"), {0});
  } else if (action < 7) {
    check_saved(g);
  } else {
    check(kClientRead, "client_get of the address", g.eq.client_get(name, &out), {0});
    if (!out.get_iiii() || *out.get_iiii() != g.last[i]) violation("client read of " + name + " differs");
    static const char* const kReads[] = {".CONDITION", ".MANU", ".ALIVE"};
    g.eq.client_get(name + kReads[rng() % 3], &out);
  }
}

// A node that lives for a few operations: constructed, addressed,
// initialised, used and destroyed while everything else goes on.
void churn_turn(Group& g, std::mt19937& rng, long k) {
  std::lock_guard<std::recursive_mutex> lk(g.eq.lock());
  auto n = std::make_unique<DeviceNode>("CHURN" + std::to_string(k % 1000), &g.eq);
  IIII a{1 + static_cast<int>(rng() % kLines), 5 + static_cast<int>(rng() % 3), 0, 0};
  n->set_value(&a);
  check(kInit, "init of a short-lived node", n->init(0x580 + a.i2_data), kInitCodes);
  for (unsigned r = rng() % 4; r > 0; --r) {
    CMSG batch[100];
    int count = 0;
    check(kBatch, "can_array of a short-lived node", n->can_array(batch, &count), kBatchCodes);
  }
  n.reset();
  ++counts[kChurn];
}

}  // namespace

TEST(ServerStress, ClientsDeviceCodeAndLineOutagesTogetherKeepEveryInvariant) {
  const char* env = std::getenv("VORBEL_STRESS_SECONDS");
  const int seconds = env && std::atoi(env) > 0 ? std::atoi(env) : 20;
  alarm(static_cast<unsigned>(seconds) + 90);  // a hang ends the process, not CTest's time-out

  // Framework time runs 200 times faster than real time: the supervision
  // threads query their lines every 5 ms and an SDO wait gives up after
  // 10 to 15 ms.
  telvo::set_time_scale(200);
  ntcan_sim::set_handle_reuse(true);
  ntcan_sim::reset();
  ntcan_sim::set_trace_enabled(false);
  ntcan_sim::set_time_scale(0.01);  // a blocking read waits 10 ms
  testsupport::FakeGateway gateway;
  gateway.write_plugin("PeerName[0]=\"127.000.000.001\"\nPeerName[1]=\"127.000.000.002\"\n");
  telvo::set_log_sink([](const telvo::LogEntry& e) { outages += e.origin == "2. canStatus returned: "; });
  testsupport::TempDir dir;

  // Two simulated CANopen nodes with heartbeats on each of lines 1..3.
  std::vector<std::unique_ptr<canopen_sim::Device>> devices;
  canopen_sim::Options heartbeat;
  heartbeat.heartbeat_ms = 1000;
  for (int net = 0; net < 3; ++net)
    for (int id : {5, 6}) devices.push_back(std::make_unique<canopen_sim::Device>(net, id, heartbeat));
  Group a("CANSTRESS_A", dir, 5), b("CANSTRESS_B", dir, 6), churn("CANSTRESS_C", dir, 0);
  EqFct watched_eq("CANSTRESS_W");
  WatchedNode watched("WATCHED", &watched_eq);
  IIII watched_address{5, 5, 0, 0};
  watched.set_value(&watched_address);
  canopen_sim::Device watched_device(4, 5);
  std::atomic<long> watched_sent{0};
  const int counter = ntcan_sim::attach(4, "counter", [&](const ntcan_sim::BusFrame& f) {
    watched_sent += f.msg.id == 0x705 || f.msg.id == 0x085;
  });
  for (int ident : {0x585, 0x085, 0x705}) ASSERT_EQ(watched.init(ident), 0);
  watched.alive_->consumer_timeout_ms(3000);
  watched_device.start_heartbeat(heartbeat.heartbeat_ms);  // counted from here, received from here

  std::atomic<bool> stop{false};
  std::vector<std::thread> workers;
  const auto every = [&](std::chrono::microseconds pause, unsigned seed, std::function<void(std::mt19937&)> turn) {
    workers.emplace_back([&stop, pause, seed, turn] {
      std::mt19937 rng(seed);
      for (; !stop; std::this_thread::sleep_for(pause)) turn(rng);
    });
  };
  every(100us, 0, [](std::mt19937&) { check(kLoop, "can_looping", can_looping(), {0}); });
  every(200us, 10, [&a](std::mt19937& rng) { device_turn(a, rng); });
  every(200us, 11, [&b](std::mt19937& rng) { device_turn(b, rng); });
  every(500us, 12, [&a](std::mt19937& rng) { client_turn(a, rng); });
  every(500us, 13, [&b](std::mt19937& rng) { client_turn(b, rng); });
  // About 100 short-lived nodes a second.
  every(10ms, 42, [&churn, k = 0L](std::mt19937& rng) mutable { churn_turn(churn, rng, k++); });
  every(1ms, 0, [](std::mt19937&) { check_registry(); });
  every(200us, 14, [&watched](std::mt19937& rng) {
    unsigned char buf[64];
    int len = 0;
    const int r = rng() % 2 ? watched.sdo_upload(0x1008, 0, buf, sizeof buf, &len) : watched.get_hwversion();
    check(kWatchedSdo, "a transfer on the watched node", r, {0});
  });
  every(20ms, 15, [&watched_device](std::mt19937& rng) {
    watched_device.send_emergency(0x2000 + static_cast<uint16_t>(rng() % 16), 1);
  });
  // The driver misbehaves: single failed status queries (tolerated), two in
  // a row (the line is closed), failed reopens, and nodes report emergencies.
  std::atomic<long> faults{0};
  every(15ms, 7, [&](std::mt19937& rng) {
    const int net = static_cast<int>(rng() % kLines);
    const unsigned what = rng() % 4;
    if (what < 2) {
      ntcan_sim::fail_next(net, Call::Status, kStatusFaults[rng() % 3], 1 + static_cast<int>(rng() % 2));
    } else if (what == 2) {
      ntcan_sim::fail_next(net, Call::Open, kOpenFaults[rng() % 3], 1 + static_cast<int>(rng() % 3));
    } else {
      devices[rng() % devices.size()]->send_emergency(0x1000 + static_cast<uint16_t>(rng() % 16), 1);
    }
    faults += what < 3;
  });

  // Samples of each quarter of the run. Open handles: six group nodes and a
  // short-lived node, one each at most, and the lines' own.
  std::array<std::vector<long>, 4> rss;
  for (int tick = 0; tick < seconds * 4; std::this_thread::sleep_for(250ms), ++tick) {
    rss[static_cast<size_t>(tick / seconds)].push_back(resident_kb());
    size_t open = 0;
    for (int net = 0; net < kLines; ++net) open += ntcan_sim::handles(net).size();
    if (open > 7 + kLines) violation(std::to_string(open) + " handles open");
  }
  stop = true;
  for (auto& w : workers) w.join();
  ntcan_sim::clear_faults();
  // The watched node's last frames reach device code through the last fills.
  watched_device.stop_heartbeat();
  for (int pass = 0; pass < 100 && watched.seen < watched_sent; ++pass, std::this_thread::sleep_for(1ms)) can_looping();
  ntcan_sim::detach(counter);
  watched.dellist();
  // Every node goes: the registry empties and the loop touches no handle.
  for (Group* g : {&a, &b}) {
    check_saved(*g);
    std::lock_guard<std::recursive_mutex> lk(g->eq.lock());
    g->nodes.clear();
  }
  EXPECT_TRUE(testsupport::NodeProbe::registry().empty());
  const uint64_t takes = ntcan_sim::calls(Call::Take);
  EXPECT_EQ(can_looping(), 0);
  EXPECT_EQ(ntcan_sim::calls(Call::Take), takes);
  devices.clear();
  // Each line, open again, holds its own handle and nothing else.
  for (int line = 1; line <= kLines; ++line) {
    testsupport::NodeProbe probe("PROBE", &churn.eq);
    probe.set_address(line, 1);
    for (int tries = 0; probe.can_open() != 0 && tries < 500; ++tries) std::this_thread::sleep_for(10ms);
    ASSERT_GT(probe.line()->handle(), 0) << "line " << line << " did not reopen";
    EXPECT_EQ(probe.can_close(), 0);
    EXPECT_EQ(ntcan_sim::handles(line - 1), std::vector<NTCAN_HANDLE>{probe.line()->handle()}) << "line " << line;
  }
  const long second_quarter = std::accumulate(rss[1].begin(), rss[1].end(), 0L) / seconds;
  const long last_quarter = std::accumulate(rss[3].begin(), rss[3].end(), 0L) / seconds;

  long operations = 0;
  std::string figures;
  for (int op = 0; op < kOpCount; ++op) {
    if (op != kSdoOk && op != kRegistryCheck) operations += counts[op];
    figures += std::string(kOpNames[op]) + " " + std::to_string(counts[op].load()) + ", ";
  }
  std::cout << "stress: " << seconds << " s, " << operations << " operations (" << figures << "), " << faults
            << " driver faults injected, " << ntcan_sim::calls(Call::Status) << " status queries, "
            << ntcan_sim::calls(Call::Open) << " opens, " << ntcan_sim::calls(Call::Close) << " closes, " << outages
            << " outages logged, " << gateway.calls().size() << " gateway resets, "
            << ntcan_sim::calls_on_closed_handles() << " calls on closed handles, resident memory " << second_quarter
            << " kB in the second quarter, " << last_quarter << " kB in the last; the watched node's device sent "
            << watched_sent << " heartbeats and emergencies, device code saw " << watched.seen << std::endl;
  testing::Test::RecordProperty("operations", std::to_string(operations));

  EXPECT_EQ(violation_count, 0) << violations;
  EXPECT_EQ(watched.seen.load(), watched_sent.load()) << "frames of the watched node lost";
  EXPECT_EQ(watched.frames_dropped(), 0u);
  EXPECT_EQ(ntcan_sim::calls_on_closed_handles(), 0u);
  EXPECT_LE(last_quarter, second_quarter + second_quarter / 20) << "resident memory grows";
  for (Op op : {kLoop, kSdoOk, kAddress, kSave, kChurn, kWatchedSdo}) EXPECT_GT(counts[op].load(), 0) << "no " << kOpNames[op];
  EXPECT_GT(outages.load(), 0) << "no line was closed by its supervision";
}
