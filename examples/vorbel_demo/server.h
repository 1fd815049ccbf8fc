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
  // the configuration that the caller loads afterwards.
  Server(EqFct& eq, Display& display);

  // Puts every node on its line (masters before followers), reads the
  // identity strings and identity objects once, switches the heartbeats on
  // and starts the masters' nodes. False when a node could not be
  // initialised.
  bool initialise();

  // One pass of the server loop, run every 100 ms of framework time: send
  // the guarding requests that are due, fill the receive buffers, hand each
  // node's frames to the emergency recogniser and to supervise (also with
  // no frames while its line is closed), start a node that rebooted, write
  // a heartbeat time that a client set, and reattach nodes whose handle went
  // stale while their line was down.
  void loop_turn();

  // The nodes as clients see them.
  std::vector<NodeView> view();

  // Nodes reattached after a line outage.
  int reattached() const { return reattached_.load(); }

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
  };

  int node_id(const Node& n) const { return n.can->value()->i2_data; }
  int line(const Node& n) const { return n.can->value()->i1_data; }
  std::string name(const Node& n) const { return n.can->basename(); }
  // init(0x580 + id), init_emergency() (masters), init(0x700 + id); the
  // results as text; false when one failed.
  bool init_node(Node& n, std::string* results);
  void watch_line(Node& n);
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
  void reattach(Node& n);
  std::string client_text(const std::string& property);
  int client_int(const std::string& property);

  EqFct& eq_;
  Display& display_;
  std::vector<std::unique_ptr<Node>> nodes_;
  std::atomic<int> reattached_{0};
};

// "0", "-1", or the status and its NTCAN text: "77 NTCAN_INVALID_HANDLE(0x0000004d)".
std::string result_text(int ret);

}  // namespace demo

#endif  // VORBEL_DEMO_SERVER_H
