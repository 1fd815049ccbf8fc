// What the demo shows: the nodes as a client sees them, and a stream of
// events (the library's log, client calls, device code, the simulated bus).
//
// On a terminal the nodes are a table redrawn in place with the latest
// events below it; otherwise every event is one line, and a node's row is
// printed as a line whenever something a client sees of it changes.
#ifndef VORBEL_DEMO_DISPLAY_H
#define VORBEL_DEMO_DISPLAY_H

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace demo {

// One node as clients see it through its properties, plus what the device
// code learns of it from the library.
struct NodeView {
  std::string name;
  std::string address;  // the node property's value: "line node-id id3 id4"
  int alive = 0;        // ".ALIVE"
  std::string condition, manu, hwver, swver;
  int active = 0;       // ".ACTIVE"
  int handle = -1;      // D_can::handle(): -1 while the node's line is closed
  double heard_s = -1;  // framework seconds since its last state frame; -1: never
  int heartbeat_ms = -1;  // heartbeat producer time the node reports (0x1017); -1: not read
  // Position and velocity from the node's latest transmit PDO; pdo false:
  // none decoded (or the node sends none).
  bool pdo = false;
  long long position = 0, velocity = 0;
};

class Display {
 public:
  // table: redraw a table in place (a terminal); otherwise plain lines.
  Display(bool table, std::string title);

  // One event, stamped with the framework time since the start:
  // "[   1.20s] client  operator@console sets VALVE.STOP = 1". Thread-safe.
  void event(const std::string& kind, const std::string& text);
  // The nodes now. Plain lines: the rows that changed for a client.
  void show(const std::vector<NodeView>& nodes);
  // Table mode: redraw, at most every 200 ms of wall time unless forced.
  void refresh(bool force = false);
  // Plain lines: every row once more, as the final state.
  void final_rows();
  // Table mode ends: the last table stays on screen and later events are
  // printed as plain lines.
  void leave_table();
  // Shown in the table's heading (time scale, phase of the run).
  void set_status(const std::string& status);
  // Shown under the heading: the lines' bus load, the drive's process data
  // (one or more lines).
  void set_bus_load(const std::string& text);

  // Framework seconds since the display was made.
  double seconds() const;

 private:
  std::string row_line(const NodeView& n) const;
  std::string stamp() const;

  bool table_;
  const std::string title_;
  const int64_t start_us_;
  std::mutex mx_;
  std::vector<NodeView> nodes_;
  std::vector<std::string> shown_keys_;
  std::deque<std::string> recent_;
  std::string status_;
  std::string bus_load_;
  int64_t last_draw_ = 0;
};

}  // namespace demo

#endif  // VORBEL_DEMO_DISPLAY_H
