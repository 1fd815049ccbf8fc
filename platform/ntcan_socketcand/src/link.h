// One connection to a socketcand daemon, in raw mode on one bus, with the
// thread that reads it.
#ifndef NTCAN_SOCKETCAND_LINK_H
#define NTCAN_SOCKETCAND_LINK_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "config.h"
#include "ntcan.h"
#include "ntcan_socketcand.h"
#include "socketcand_wire.h"

namespace ntcan_socketcand {

// The driver's counters (counters() copies them).
struct LiveCounters {
  std::atomic<uint64_t> connects{0}, connections_lost{0}, frames_sent{0}, frames_received{0}, remote_refused{0},
      extended_dropped{0}, daemon_errors{0};
};
LiveCounters& live_counters();

class Link {
 public:
  using OnFrame = std::function<void(const CMSG&)>;

  // Connects to `ep`, opens its bus in raw mode and starts the reading
  // thread, which hands every frame to on_frame. NTCAN_SUCCESS and the link,
  // or the failure as ntcan_socketcand.h lists it.
  static NTCAN_RESULT open(const Endpoint& ep, OnFrame on_frame, std::shared_ptr<Link>* out);

  ~Link() { close(); }
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  // False once the connection has failed or been closed.
  bool up() const { return up_; }
  // Writes `text` whole within timeout_ms: NTCAN_SUCCESS, NTCAN_TX_TIMEOUT
  // (a part written takes the link down: the stream would be cut mid-message)
  // or NTCAN_SOCK_CONN_TIMEOUT (the link is down).
  NTCAN_RESULT write(const std::string& text, int timeout_ms);
  // Ends the connection and waits until the reading thread has stopped
  // using it (never call it from on_frame).
  void close();

 private:
  explicit Link(int fd, OnFrame on_frame) : fd_(fd), on_frame_(std::move(on_frame)) {}
  NTCAN_RESULT handshake(const std::string& bus);
  // The next message body within the deadline (steady clock, ms); false on
  // time-out or a closed connection.
  bool next_body(std::string* body, int64_t deadline_ms);
  void read_loop();
  void on_body(std::string_view body);

  int fd_ = -1;
  std::atomic<bool> up_{true};
  std::atomic<bool> closing_{false};
  std::mutex write_mu_;
  std::mutex close_mu_;
  OnFrame on_frame_;
  socketcand::MessageSplitter splitter_;
  std::deque<std::string> bodies_;  // read, not yet handled
  // The reading thread is detached (a handle still open at exit must not
  // leave a thread to join) and keeps the link alive; it says when it is done.
  bool reading_ = false;  // guarded by close_mu_
  std::condition_variable read_done_;
};

}  // namespace ntcan_socketcand

#endif  // NTCAN_SOCKETCAND_LINK_H
