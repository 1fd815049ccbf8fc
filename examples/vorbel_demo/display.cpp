#include "display.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>

#include "telvo_clock.h"

namespace demo {

namespace {

constexpr std::size_t kRecentEvents = 16;
constexpr int64_t kRedrawUs = 200000;

int64_t wall_us() {
  using namespace std::chrono;
  return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
  char buf[512];
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(buf, sizeof buf, fmt, args);
  va_end(args);
  return buf;
}

// Columns of the terminal; lines are cut there so that the table never
// scrolls away.
std::size_t terminal_columns() {
  winsize ws{};
  return ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 20 ? ws.ws_col : 200;
}

std::string heard_text(double s) { return s < 0 ? "never" : format("%.1fs", s); }

std::string heartbeat_text(int ms) { return ms < 0 ? "-" : ms == 0 ? "off" : format("%dms", ms); }

std::string position_text(const NodeView& n) { return n.pdo ? std::to_string(n.position) : "-"; }
std::string velocity_text(const NodeView& n) { return n.pdo ? std::to_string(n.velocity) : "-"; }

// What a client sees of a node; the guarding toggle (bit 7 of the state
// byte) alone is no change.
std::string client_key(const NodeView& n) {
  return n.address + '|' + std::to_string(n.alive & 0x7F) + '|' + n.condition + '|' + n.manu + '|' + n.hwver +
         '|' + n.swver + '|' + std::to_string(n.active) + '|' + std::to_string(n.handle) + '|' +
         std::to_string(n.heartbeat_ms);
}

}  // namespace

Display::Display(bool table, std::string title)
    : table_(table), title_(std::move(title)), start_us_(telvo::clock().now_us()) {}

double Display::seconds() const { return static_cast<double>(telvo::clock().now_us() - start_us_) / 1e6; }

std::string Display::stamp() const { return format("[%8.2fs]", seconds()); }

void Display::event(const std::string& kind, const std::string& text) {
  std::string line = stamp() + ' ' + format("%-7s", kind.c_str()) + ' ' + text;
  std::lock_guard<std::mutex> lk(mx_);
  if (table_) {
    recent_.push_back(std::move(line));
    while (recent_.size() > kRecentEvents) recent_.pop_front();
  } else {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
  }
}

std::string Display::row_line(const NodeView& n) const {
  return format("%-10s ALIVE %3d  CONDITION %-16s ACTIVE %d  address %s  handle %d  HB %s  POSITION %s  VEL %s  "
                "MANU \"%s\"  HWVER \"%s\"  SWVER \"%s\"",
                n.name.c_str(), n.alive, ('"' + n.condition + '"').c_str(), n.active, n.address.c_str(), n.handle,
                heartbeat_text(n.heartbeat_ms).c_str(), position_text(n).c_str(), velocity_text(n).c_str(),
                n.manu.c_str(), n.hwver.c_str(), n.swver.c_str());
}

void Display::show(const std::vector<NodeView>& nodes) {
  std::lock_guard<std::mutex> lk(mx_);
  nodes_ = nodes;
  if (table_) return;
  shown_keys_.resize(nodes.size());
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    const std::string key = client_key(nodes[i]);
    if (key == shown_keys_[i]) continue;
    shown_keys_[i] = key;
    std::printf("%s node    %s\n", stamp().c_str(), row_line(nodes[i]).c_str());
  }
  std::fflush(stdout);
}

void Display::set_status(const std::string& status) {
  std::lock_guard<std::mutex> lk(mx_);
  status_ = status;
}

void Display::set_bus_load(const std::string& text) {
  std::lock_guard<std::mutex> lk(mx_);
  bus_load_ = text;
}

void Display::refresh(bool force) {
  if (!table_) return;
  const int64_t now = wall_us();
  std::lock_guard<std::mutex> lk(mx_);
  if (!force && now - last_draw_ < kRedrawUs) return;
  last_draw_ = now;
  const std::size_t columns = terminal_columns();
  std::string out = "\x1b[H\x1b[2J";  // home, clear screen
  out += format("%s   framework time %.1f s   %s\n", title_.c_str(), seconds(), status_.c_str());
  std::size_t from = 0;
  for (std::size_t end; (end = bus_load_.find('\n', from)) != std::string::npos; from = end + 1)
    out += bus_load_.substr(from, std::min(end - from, columns)) + '\n';
  out += bus_load_.substr(from, columns) + "\n\n";
  out += format("%-10s %-9s %5s %-15s %6s %6s %6s %6s %9s %5s  %-24s %-8s %-10s\n", "NODE", "ADDRESS", "ALIVE",
                "CONDITION", "ACTIVE", "HANDLE", "HEARD", "HB", "POSITION", "VEL", "MANU", "HWVER", "SWVER");
  for (const NodeView& n : nodes_) {
    out += format("%-10s %-9s %5d %-15s %6d %6d %6s %6s %9s %5s  %-24s %-8s %-10s\n", n.name.c_str(),
                  n.address.c_str(), n.alive, n.condition.c_str(), n.active, n.handle, heard_text(n.heard_s).c_str(),
                  heartbeat_text(n.heartbeat_ms).c_str(), position_text(n).c_str(), velocity_text(n).c_str(),
                  n.manu.c_str(), n.hwver.c_str(), n.swver.c_str());
  }
  out += "ALIVE is the node's last NMT state byte: 5 operational, 4 stopped, 127 pre-operational, 0 boot-up;\n"
         "128 more is the toggle bit of a node-guarding answer. Before its first state frame it is 15, the\n"
         "library's starting value. CONDITION names the state, or reads \"No heartbeat\" when nothing came\n"
         "within the node's consumer time-out (1.5 periods). HEARD: time since the last state frame\n"
         "(last_heard_ms()). HB: the heartbeat time in the node's 0x1017, written by device code from\n"
         "NODE.HEARTBEAT and read back. POSITION, VEL: 0x6064 and 0x606C from the drive's transmit PDO at\n"
         "every SYNC, decoded by the library. bus: each line's load over the last second, the frames it\n"
         "carried and those lost in receive queues.\n\n";
  for (const std::string& line : recent_) out += line.substr(0, columns) + '\n';
  std::fwrite(out.data(), 1, out.size(), stdout);
  std::fflush(stdout);
}

void Display::leave_table() {
  std::lock_guard<std::mutex> lk(mx_);
  table_ = false;
}

void Display::final_rows() {
  std::lock_guard<std::mutex> lk(mx_);
  for (const NodeView& n : nodes_) std::printf("%s final   %s\n", stamp().c_str(), row_line(n).c_str());
  std::fflush(stdout);
}

}  // namespace demo
