#include "server.h"

#include <algorithm>
#include <cstdio>

namespace demo {

namespace {

struct NodeEntry {
  const char* text;  // property name and description
  bool guarded;
  int period_ms;     // heartbeat period of the node, or how often it is guarded
  bool heartbeat;    // device code writes the heartbeat period to the node (".HEARTBEAT")
  bool drive;        // process data, program download, stored parameters (".VELOCITY")
  const char* eds;   // the data sheet of its product, or null
};

// The server's nodes. Their addresses come from the configuration; two
// nodes with the same line and node id are one CANopen node seen twice, the
// first initialised its master and the second a follower.
const NodeEntry kNodes[] = {
    {"MOTOR drive motor", false, 1000, true, true, nullptr},
    {"MOTOR_VIEW the drive motor as the operator panel sees it", false, 1000, false, false, nullptr},
    {"PUMP coolant pump (node guarding)", true, 500, false, false, nullptr},
    {"VALVE valve terminal", false, 500, true, false, kValveDataSheet},
};

constexpr int kHeartbeatTime = 0x1017;  // 16 bits, ms
constexpr int kIdentity = 0x1018;       // subindexes 1..4, 32 bits each
constexpr int kDriveDefaultVelocity = 100;  // the drive's target velocity after a reset

// A setting of device code that clients write; the configuration does not
// bring it back.
class Setting : public telvo::D_value<int> {
 public:
  using telvo::D_value<int>::D_value;
  void read() override {}
};

// A node counts as lost after 1.5 periods without a state frame.
int consumer_timeout(int period_ms) { return period_ms * 3 / 2; }

std::string seconds_text(long long ms) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.2f s", static_cast<double>(ms) / 1000);
  return buf;
}

}  // namespace

std::string sdo_result(const D_can& can, int ret) {
  const uint32_t abort = can.sdo_abort_code();
  if (ret != -1 || abort == 0) return result_text(ret);
  char code[32];
  std::snprintf(code, sizeof code, " (abort code 0x%08X: ", static_cast<unsigned>(abort));
  return result_text(ret) + code + sdo_abort_text(abort) + ")";
}

std::string hex(unsigned v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%X", v);
  return buf;
}

std::string result_text(int ret) {
  if (ret == 0 || ret == -1 || ret == 32 || ret == 100) return std::to_string(ret);
  return std::to_string(ret) + " " + can_error_str(static_cast<unsigned long>(static_cast<long>(ret)));
}

Server::Server(EqFct& eq, Display& display, std::string data_dir)
    : eq_(eq), display_(display), data_dir_(std::move(data_dir)) {
  for (const NodeEntry& entry : kNodes) {
    auto n = std::make_unique<Node>();
    n->can = std::make_unique<D_can>(entry.text, &eq_);
    n->guarded = entry.guarded;
    n->period_ms = entry.period_ms;
    if (entry.heartbeat) {
      n->heartbeat = std::make_unique<Setting>(n->can->basename() + ".HEARTBEAT heartbeat time in ms", &eq_);
      n->heartbeat->set_value(entry.period_ms);
    }
    n->drive = entry.drive;
    if (entry.drive) {
      n->velocity = std::make_unique<Setting>(n->can->basename() + ".VELOCITY target velocity (set-point)", &eq_);
      n->velocity->set_value(kDriveDefaultVelocity);
      n->velocity_sent = kDriveDefaultVelocity;
    }
    if (entry.eds) n->eds = entry.eds;
    nodes_.push_back(std::move(n));
  }
}

Server::~Server() {
  for (const int id : notices_) canline_remove_notice(id);
}

Server::Node* Server::drive() const {
  for (const auto& np : nodes_)
    if (np->drive) return np.get();
  return nullptr;
}

std::string Server::client_text(const std::string& property) {
  EqData out;
  return eq_.client_get(property, &out, "display", "localhost") == 0 ? out.get_string() : "?";
}

int Server::client_int(const std::string& property) {
  EqData out;
  return eq_.client_get(property, &out, "display", "localhost") == 0 ? out.get_int() : 0;
}

bool Server::init_node(Node& n, std::string* results) {
  D_can& can = *n.can;
  const int id = node_id(n);
  n.line_no = line(n);
  // The SDO responses, the emergency and the heartbeat / guarding answers.
  const int sdo = can.init(0x580 + id);
  const int emergency = can.init_emergency();
  const int alive = can.init(0x700 + id);
  *results = "init(" + hex(0x580 + id) + ")=" + result_text(sdo) + "  init_emergency()=" + result_text(emergency) +
             "  init(" + hex(0x700 + id) + ")=" + result_text(alive);
  // After a reopen of its line the library gives the node its handle back,
  // before the line's notice comes.
  can.auto_reattach(true);
  // A master decodes and queues its node's emergencies; its followers share
  // the queue.
  if (can.isactive()) *results += "  emergency_queue(16)=" + result_text(can.emergency_queue(16));
  return sdo == 0 && emergency == 0 && alive == 0;
}

bool Server::initialise() {
  bool all = true;
  for (auto& np : nodes_) {
    Node& n = *np;
    std::string results;
    const bool ok = init_node(n, &results);
    all = all && ok;
    std::string role;
    if (n.can->isactive()) {
      role = "master of line " + std::to_string(line(n)) + " node " + std::to_string(node_id(n));
    } else {
      for (auto& other : nodes_) {
        if (other->can->isactive() && line(*other) == line(n) && node_id(*other) == node_id(n)) n.master = other.get();
      }
      role = "follower of " + (n.master ? name(*n.master) : std::string("?")) + ", sharing its handle and buffers";
      // A follower shares its master's state but has a ".CONDITION" of its
      // own, empty until supervise sees a state frame: it shows the master's now.
      if (n.master) n.can->alive_->set_value(n.can->alive_->value());
    }
    n.last_handle = n.can->handle();
    display_.event("init", name(n) + "  " + results + ": " + role + ", handle " + std::to_string(n.last_handle));
  }
  watch_lines();

  // The identity strings, read once by SDO upload.
  for (auto& np : nodes_) {
    Node& n = *np;
    const int manu = n.can->get_manufacture();
    const int hw = n.can->get_hwversion();
    const int sw = n.can->get_swversion();
    display_.event("sdo", name(n) + "  get_manufacture()=" + result_text(manu) + "  get_hwversion()=" +
                              result_text(hw) + "  get_swversion()=" + result_text(sw) + ":  MANU \"" +
                              client_text(name(n) + ".MANU") + "\"  HWVER \"" + client_text(name(n) + ".HWVER") +
                              "\"  SWVER \"" + client_text(name(n) + ".SWVER") + "\"");
  }

  // The identity objects, read as binary, and the heartbeats switched on, as
  // CANopen masters do: by writing each node's heartbeat producer time.
  for (auto& np : nodes_) {
    Node& n = *np;
    if (!n.can->isactive()) continue;
    display_.event("sdo", name(n) + "  " + identity_text(*n.can));
    if (n.heartbeat) set_heartbeat(n);
  }

  // Pre-operational still: the data sheet's entries, the drive's process
  // data and program, and then its parameters stored for good.
  for (auto& np : nodes_) {
    Node& n = *np;
    if (!n.can->isactive()) continue;
    if (!n.eds.empty()) read_data_sheet(n);
    if (!n.drive) continue;
    configure_process_data(n);
    download_program(n);
    store_parameters(n);
  }

  // Operational: NMT start to every node.
  for (auto& np : nodes_) {
    Node& n = *np;
    if (!n.can->isactive()) continue;
    display_.event("nmt", name(n) + "  start_node()=" + result_text(n.can->start_node()) + ": NMT start to node " +
                              std::to_string(node_id(n)));
  }
  if (Node* d = drive()) start_sync(*d);
  supervise_nodes();
  return all;
}

void Server::watch_lines() {
  std::vector<int> lines;
  for (auto& np : nodes_)
    if (std::find(lines.begin(), lines.end(), np->line_no) == lines.end()) lines.push_back(np->line_no);
  for (const int l : lines) {
    const int id = canline_on_change(l, [this](int line, bool open) { on_line_change(line, open); });
    if (id > 0) notices_.push_back(id);
    display_.event("line", "canline_on_change(" + std::to_string(l) + ")=" + std::to_string(id) +
                               ": told of the line's closes and reopens, at generation " +
                               std::to_string(canline_generation(l)));
  }
}

void Server::on_line_change(int line_no, bool open) {
  // The nodes' handles are reattached already when a reopen is told.
  std::string nodes;
  for (auto& np : nodes_) {
    const Node& n = *np;
    if (n.line_no != line_no) continue;
    nodes += (nodes.empty() ? "" : ", ") + name(n);
    if (open) nodes += " handle " + std::to_string(n.can->handle());
  }
  const std::string head = "line " + std::to_string(line_no) + " (generation " +
                           std::to_string(canline_generation(line_no)) + ") ";
  if (!open) {
    display_.event("line", head + "closed, and with it its nodes' handles: " + nodes +
                               " return 77 until it reopens");
    return;
  }
  display_.event("line", head + "reopened; the library reattached its nodes (auto_reattach): " + nodes +
                             ", their identifiers enabled again");
  ++lines_reopened_;
}

void Server::supervise_nodes() {
  // Set last, just before the server loop starts: the wait for a node's
  // first state frame begins here.
  for (auto& np : nodes_) {
    Node& n = *np;
    if (n.master) continue;  // a follower shares its master's supervision
    D_Alive& alive = *n.can->alive_;
    const int timeout = consumer_timeout(n.period_ms);
    alive.consumer_timeout_ms(timeout);
    if (n.guarded) alive.guarding_toggle_check(true);
    display_.event("alive", name(n) + "  consumer_timeout_ms(" + std::to_string(timeout) + ")" +
                                (n.guarded ? ", guarding_toggle_check(true)" : "") + ": 1.5 x its " +
                                (n.guarded ? "guarding" : "heartbeat") + " period of " + std::to_string(n.period_ms) +
                                " ms; supervise() in place of check_alive");
  }
}

std::string Server::identity_text(D_can& can) {
  static const char* const kNames[] = {"vendor id", "product code", "revision", "serial number"};
  std::string text = "0x1018 by sdo_upload:";
  for (int sub = 1; sub <= 4; ++sub) {
    unsigned char bytes[4] = {};
    int len = 0;
    const int ret = can.sdo_upload(kIdentity, sub, bytes, sizeof bytes, &len);
    if (ret != 0 || len != 4) return text + " subindex " + std::to_string(sub) + ": " + sdo_result(can, ret);
    const uint32_t v = bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<uint32_t>(bytes[3]) << 24;
    char field[64];
    std::snprintf(field, sizeof field, sub == 4 ? "  %s %u" : "  %s 0x%08X", kNames[sub - 1], static_cast<unsigned>(v));
    text += field;
  }
  return text;
}

void Server::set_heartbeat(Node& n) {
  const int period = n.heartbeat->value();
  n.heartbeat_asked = period;
  std::string what = name(n) + "  HEARTBEAT " + std::to_string(period) + ": ";
  if (period < 0 || period > 0xFFFF) {
    display_.event("sdo", what + "not written, 0x1017 holds 0..65535 ms");
    return;
  }
  const unsigned char value[2] = {static_cast<unsigned char>(period & 0xFF), static_cast<unsigned char>(period >> 8)};
  const int set = n.can->sdo_download(kHeartbeatTime, 0, value, sizeof value);
  unsigned char back[2] = {};
  int len = 0;
  const int get = n.can->sdo_upload(kHeartbeatTime, 0, back, sizeof back, &len);
  if (get == 0 && len == 2) n.heartbeat_ms = back[0] | back[1] << 8;
  display_.event("sdo", what + "sdo_download(0x1017)=" + sdo_result(*n.can, set) + "  sdo_upload(0x1017)=" +
                            sdo_result(*n.can, get) + ": the node sends a heartbeat every " +
                            std::to_string(n.heartbeat_ms) + " ms");
  if (set != 0 || n.heartbeat_ms < 0 || n.heartbeat_ms == n.period_ms) return;
  // A new period: until its first heartbeat the longer of the two periods
  // counts for the consumer time-out (0 switches supervision off at once).
  const int longer = n.heartbeat_ms == 0 ? 0 : std::max(n.period_ms, n.heartbeat_ms);
  if (longer != n.period_ms) n.can->alive_->consumer_timeout_ms(consumer_timeout(longer));
  n.period_ms = n.heartbeat_ms;
  n.period_from_ms = TELVOtime_ms();
}

void Server::follow_period(Node& n) {
  if (n.period_from_ms < 0 || n.can->alive_->last_heard_ms() <= n.period_from_ms) return;
  n.period_from_ms = -1;
  const int timeout = consumer_timeout(n.period_ms);
  n.can->alive_->consumer_timeout_ms(timeout);
  display_.event("alive", name(n) + "  consumer_timeout_ms(" + std::to_string(timeout) +
                              "): 1.5 x its new period, from its first heartbeat at that period");
}

void Server::guard(Node& n) {
  const long long now = TELVOtime_ms();
  if (!n.guarded || n.last_handle == -1 || now < n.next_guard_ms) return;
  n.can->rtr();
  n.next_guard_ms = now + n.period_ms;
}

void Server::recognise(Node& n, CMSG* batch, int count) {
  D_can& can = *n.can;
  const int id = node_id(n);
  // The master logs the node's emergencies; its followers see the same frames.
  if (!n.master && count > 0) can.can_emergency(id, batch, &count);
  // Every state as ".CONDITION", and "No heartbeat" once the time-out passes.
  can.alive_->supervise(id, batch, &count);
  if (!n.master) report_supervision(n);
}

void Server::report_supervision(Node& n) {
  D_Alive& alive = *n.can->alive_;
  if (alive.booted()) {
    display_.event("alive", name(n) + "  booted(): node " + std::to_string(node_id(n)) +
                                " sent a boot-up frame and is pre-operational again; start_node()=" +
                                result_text(n.can->start_node()));
    // A reset brings back what the node stored, or its defaults: the next
    // turns write the heartbeat time and the set-point again, as clients
    // last set them.
    n.heartbeat_asked = -1;
    if (n.velocity) n.velocity_sent = -1;
    if (std::shared_ptr<const vorbel::PdoReceiver> pdo = n.drive ? n.can->tpdo(tpdo_id(n)) : nullptr) {
      n.pdos_at_boot = pdo->decoded();
      n.pdo_after_boot = true;
    }
  }
  const bool lost = alive.lost();
  if (lost == n.lost_reported) return;
  n.lost_reported = lost;
  if (!lost) {
    display_.event("alive", name(n) + "  is heard again");
    return;
  }
  const long long heard = alive.last_heard_ms();
  display_.event("alive", name(n) + "  lost(): " +
                              (heard < 0 ? std::string("never heard") : "nothing heard for " +
                                                                            seconds_text(TELVOtime_ms() - heard)) +
                              ", consumer time-out " + seconds_text(consumer_timeout(n.period_ms)) +
                              ": .CONDITION \"" + client_text(name(n) + ".CONDITION") + "\", .ALIVE keeps " +
                              std::to_string(client_int(name(n) + ".ALIVE")));
}

void Server::loop_turn() {
  // Line states are taken before the fill, so that the fill's status always
  // belongs to a line that was open when it ran.
  for (auto& np : nodes_) np->last_handle = np->can->handle();
  // Guarding requests before the fill: the answers come with it.
  for (auto& np : nodes_) guard(*np);
  can_looping();
  for (auto& np : nodes_) {
    Node& n = *np;
    CMSG batch[100];
    int count = 0;
    // While the line is closed there are no frames, but supervise still
    // watches the time-out.
    if (n.last_handle == -1 || n.can->can_array(batch, &count) == -1) count = 0;
    recognise(n, batch, count);
    if (!n.master) take_emergencies(n);
    // What clients set is written here, on the server loop's thread, in the
    // order they see it take effect.
    if (n.heartbeat && n.heartbeat->value() != n.heartbeat_asked) set_heartbeat(n);
    follow_period(n);
    if (n.velocity && n.velocity->value() != n.velocity_sent) send_setpoint(n);
    if (n.drive) watch_process_data(n);
  }
}

void Server::take_emergencies(Node& n) {
  vorbel::Emergency e;
  int taken = 0;
  while (n.can->take_emergency(&e)) {
    ++taken;
    char bytes[40];
    std::snprintf(bytes, sizeof bytes, "%02X %02X %02X %02X %02X", e.manufacturer[0], e.manufacturer[1],
                  e.manufacturer[2], e.manufacturer[3], e.manufacturer[4]);
    display_.event("emcy", name(n) + "  take_emergency(): node " + std::to_string(e.node_id) + ": " +
                               vorbel::emergency_text(e) + "; manufacturer bytes " + bytes);
  }
  if (taken == 0) return;
  // What the node keeps of its errors, newest first.
  std::vector<vorbel::ErrorHistoryEntry> history;
  const int ret = vorbel::read_error_history(*n.can, &history);
  std::string text = name(n) + "  read_error_history()=" + sdo_result(*n.can, ret) + ": 0x1003 holds " +
                     std::to_string(history.size()) + (history.size() == 1 ? " error" : " errors");
  for (std::size_t i = 0; i < history.size(); ++i) {
    char entry[48];
    std::snprintf(entry, sizeof entry, "0x%04X (additional information 0x%04X)", history[i].error_code,
                  history[i].additional_info);
    text += std::string(i ? ", " : ", newest first: ") + entry + " " + vorbel::emergency_code_text(history[i].error_code);
  }
  display_.event("emcy", text);
}

std::vector<NodeView> Server::view() {
  std::vector<NodeView> out;
  for (auto& np : nodes_) {
    const Node& n = *np;
    const std::string p = name(n);
    const IIII* a = n.can->value();
    NodeView v;
    v.name = p;
    v.address = std::to_string(a->i1_data) + ' ' + std::to_string(a->i2_data) + ' ' + std::to_string(a->i3_data) +
                ' ' + std::to_string(a->i4_data);
    v.alive = client_int(p + ".ALIVE");
    v.condition = client_text(p + ".CONDITION");
    v.manu = client_text(p + ".MANU");
    v.hwver = client_text(p + ".HWVER");
    v.swver = client_text(p + ".SWVER");
    v.active = client_int(p + ".ACTIVE");
    v.handle = n.can->handle();
    const long long heard = n.can->alive_->last_heard_ms();
    v.heard_s = heard < 0 ? -1 : static_cast<double>(TELVOtime_ms() - heard) / 1e3;
    v.heartbeat_ms = n.master ? n.master->heartbeat_ms : n.heartbeat_ms;
    process_view(n, &v);
    out.push_back(v);
  }
  return out;
}

}  // namespace demo
