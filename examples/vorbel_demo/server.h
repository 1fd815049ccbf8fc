// The demo server's device code: CANopen nodes of one equipment function,
// initialised and polled as a TELVO server's device code does it with
// libVORBEL. Nothing here knows that the bus is simulated.
#ifndef VORBEL_DEMO_SERVER_H
#define VORBEL_DEMO_SERVER_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "D_vorbel.h"
#include "display.h"

namespace demo {

class Server {
 public:
  // Constructs the nodes in `eq`; their addresses and baud rates come from
  // the configuration that the caller loads afterwards. `data_dir` holds the
  // data sheets of the server's products.
  Server(EqFct& eq, Display& display, std::string data_dir);
  // Withdraws the line notices.
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Puts every node on its line (masters before followers) with an
  // emergency queue and automatic reattach, asks for notices of its lines'
  // closes and reopens, reads the identity strings and identity objects
  // once, switches the heartbeats on, reads the valve terminal's entries by
  // name from its data sheet, configures the drive's process data,
  // downloads its program and stores its parameters, starts the masters'
  // nodes and the SYNC of the drive's line. False when a node could not be
  // initialised.
  bool initialise();

  // One pass of the server loop, run every 100 ms of framework time: send
  // the guarding requests that are due, fill the receive buffers, hand each
  // node's frames to the emergency recogniser and to supervise (also with
  // no frames while its line is closed), show the emergencies of the
  // node's queue and then its error history, start a node that rebooted,
  // write a heartbeat time and send a set-point that a client set.
  void loop_turn();

  // The nodes as clients see them.
  std::vector<NodeView> view();
  // The drive's latest transmit PDO and its line's SYNC, as one line.
  std::string process_text();

  // Reopens of a line that its notice told of.
  int lines_reopened() const { return lines_reopened_.load(); }

 private:
  struct Node {
    std::unique_ptr<D_can> can;
    bool guarded = false;        // no heartbeats: device code sends guarding requests
    int period_ms = 0;           // its heartbeat period, or the guarding period
    long long next_guard_ms = 0;  // framework time of the next guarding request
    bool lost_reported = false;
    NTCAN_HANDLE last_handle = -1;
    Node* master = nullptr;      // a follower's master
    // A heartbeat master's ".HEARTBEAT": the producer time device code
    // writes to 0x1017, set by clients.
    std::unique_ptr<telvo::D_value<int>> heartbeat;
    int heartbeat_asked = -1;    // the ".HEARTBEAT" value last written
    int heartbeat_ms = -1;       // 0x1017 as read back; -1: not read
    long long period_from_ms = -1;  // framework time of a period change not yet heard
    int line_no = 0;             // its line, kept at initialisation for the line notices
    std::string eds;             // its product's data sheet; empty: none
    // The drive: process data, program download, stored parameters.
    bool drive = false;
    // The drive's set-point ".VELOCITY", sent in its receive PDO 1.
    std::unique_ptr<telvo::D_value<int>> velocity;
    int velocity_sent = -1;          // the set-point last sent
    long long setpoint_sent_ms = -1;  // sent, not yet seen in a transmit PDO
    uint64_t pdos_at_setpoint = 0;    // decoded transmit PDOs when it was sent
    uint64_t pdos_at_boot = 0;       // decoded transmit PDOs when it rebooted
    bool pdo_after_boot = false;     // waiting for its first transmit PDO since
  };

  int node_id(const Node& n) const { return n.can->value()->i2_data; }
  int line(const Node& n) const { return n.can->value()->i1_data; }
  std::string name(const Node& n) const { return n.can->basename(); }
  // The CAN identifiers of the drive's transmit PDO 1 and receive PDO 1:
  // 0x180 and 0x200 + node id.
  int32_t tpdo_id(const Node& n) const;
  int32_t rpdo_id(const Node& n) const;
  // init(0x580 + id), init_emergency(), init(0x700 + id), automatic
  // reattach, and a master's emergency queue; the results as text; false
  // when one of the first three failed.
  bool init_node(Node& n, std::string* results);
  // Consumer time-outs of 1.5 x each node's period, the toggle check for
  // guarded nodes.
  void supervise_nodes();
  void guard(Node& n);
  void recognise(Node& n, CMSG* batch, int count);
  void report_supervision(Node& n);
  // Writes ".HEARTBEAT" to the node's 0x1017 and reads it back; the
  // consumer time-out follows the new period (follow_period) once the first
  // heartbeat at it is heard.
  void set_heartbeat(Node& n);
  void follow_period(Node& n);
  // The identity object 0x1018 as text.
  std::string identity_text(D_can& can);
  // Line notices (canline_on_change), on the line's supervision thread.
  void watch_lines();
  void on_line_change(int line, bool open);
  // The emergencies the node's queue holds, then its error history 0x1003.
  void take_emergencies(Node& n);
  std::string client_text(const std::string& property);
  int client_int(const std::string& property);

  // The valve terminal's data sheet: entries read and written by name
  // (dictionary.cpp).
  void read_data_sheet(Node& n);

  // The drive (process_data.cpp): its transmit PDO 1 (position and velocity
  // at every SYNC) and receive PDO 1 (the target velocity) configured over
  // SDO and the transmit PDO bound; the program image downloaded by block
  // transfer; its parameters stored; the SYNC of its line; the set-point
  // sent and seen applied.
  void configure_process_data(Node& n);
  void download_program(Node& n);
  void store_parameters(Node& n);
  void start_sync(Node& n);
  void send_setpoint(Node& n);
  void watch_process_data(Node& n);
  // The drive's position and velocity from its latest transmit PDO, also
  // for a follower of the drive.
  void process_view(const Node& n, NodeView* v) const;
  Node* drive() const;

  EqFct& eq_;
  Display& display_;
  const std::string data_dir_;
  std::vector<std::unique_ptr<Node>> nodes_;
  std::vector<int> notices_;
  std::atomic<int> lines_reopened_{0};
  vorbel::PdoMapping setpoint_mapping_;  // the drive's receive PDO 1
};

// The data sheet of the valve terminal, in the server's data directory.
constexpr char kValveDataSheet[] = "vx3_valve_terminal.eds";

// "0", "-1", or the status and its NTCAN text: "77 NTCAN_INVALID_HANDLE(0x0000004d)".
std::string result_text(int ret);
// An SDO result, with the abort code (and its text) that ended a failed
// transfer.
std::string sdo_result(const D_can& can, int ret);
// "0x1F50"
std::string hex(unsigned v);

}  // namespace demo

#endif  // VORBEL_DEMO_SERVER_H
