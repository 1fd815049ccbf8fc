// One connection to a socketcand daemon, in raw mode on one bus, with the
// thread that reads it and keeps asking the daemon whether it is alive.
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
  std::atomic<uint64_t> connects{0}, connections_lost{0}, echo_timeouts{0}, frames_sent{0}, frames_received{0},
      remote_refused{0}, extended_dropped{0}, daemon_errors{0};
};
LiveCounters& live_counters();

class Link {
 public:
  using OnFrame = std::function<void(const CMSG&)>;
  using OnDown = std::function<void()>;

  // Connects to `ep`, opens its bus in raw mode and starts the reading
  // thread, which hands every frame to on_frame and calls on_down once when
  // the connection fails (not when it is closed). NTCAN_SUCCESS and the
  // link, or the failure as ntcan_socketcand.h lists it.
  static NTCAN_RESULT open(const Endpoint& ep, OnFrame on_frame, OnDown on_down, std::shared_ptr<Link>* out);

  ~Link() { close(); }
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  // False once the connection has failed, the daemon stopped answering its
  // echo requests, or the link was closed.
  bool up() const { return up_; }
  // Writes `text` whole within timeout_ms, the wait for another writer
  // included: NTCAN_SUCCESS, NTCAN_TX_TIMEOUT (a part written takes the link
  // down: the stream would be cut mid-message) or NTCAN_SOCK_CONN_TIMEOUT
  // (the link is down).
  NTCAN_RESULT write(const std::string& text, int timeout_ms);
  // Ends the connection and waits until the reading thread and any writer
  // have stopped using it (never call it from on_frame or on_down).
  void close();

 private:
  Link(int fd, int echo_timeout_ms, OnFrame on_frame, OnDown on_down)
      : fd_(fd), echo_timeout_ms_(echo_timeout_ms), on_frame_(std::move(on_frame)), on_down_(std::move(on_down)) {}
  NTCAN_RESULT handshake(const std::string& bus);
  // The next message body within the deadline (steady clock, ms); false on
  // time-out or a closed connection.
  bool next_body(std::string* body, int64_t deadline_ms);
  void read_loop();
  void on_body(std::string_view body);
  // Waits until no other thread writes (true), the link is down or the
  // deadline passes (false); end_write() lets the next writer in.
  bool begin_write(int64_t deadline_ms);
  void end_write();

  int fd_ = -1;
  const int echo_timeout_ms_;
  std::atomic<bool> up_{true};
  std::atomic<bool> closing_{false};
  OnFrame on_frame_;
  OnDown on_down_;
  // The reading thread's own (and the handshake's, before it starts).
  socketcand::MessageSplitter splitter_;
  std::deque<std::string> bodies_;  // read, not yet handled
  int64_t last_echo_ms_ = 0;        // the daemon's last echo answer, or the end of the handshake
  // One writer at a time, so that messages are never interleaved.
  std::mutex write_mu_;
  std::condition_variable write_free_;
  bool writing_ = false;  // guarded by write_mu_
  // The reading thread is detached (a handle still open at exit must not
  // leave a thread to join) and keeps the link alive; it says when it is done.
  std::mutex close_mu_;
  bool reading_ = false;  // guarded by close_mu_
  std::condition_variable read_done_;
};

}  // namespace ntcan_socketcand

#endif  // NTCAN_SOCKETCAND_LINK_H
