// A socketcand daemon that turns hostile on request: a proxy on a loopback
// port in front of a healthy server (ntcan_sim_server). Healthy, it passes
// every byte both ways.
#ifndef VORBEL_HOSTILE_DAEMON_H
#define VORBEL_HOSTILE_DAEMON_H

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

class HostileDaemon {
 public:
  enum class Mode {
    Healthy,
    StallMidLine,       // half a frame to each client, then nothing (what they send is dropped)
    StopReading,        // the clients are no longer read; the server's frames still reach them
    Garbage,            // garbage in place of the server's messages; what clients send is dropped
    CloseMidHandshake,  // a new connection is greeted and closed
    StallMidHandshake,  // a new connection gets half a greeting, then nothing
  };

  explicit HostileDaemon(uint16_t server_port) : server_port_(server_port) {
    sockaddr_in sa = loopback(0);
    socklen_t len = sizeof sa;
    bind(listen_fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    listen(listen_fd_, 16);
    getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&sa), &len);
    port_ = ntohs(sa.sin_port);
    thread_ = std::thread([this] { run(); });
  }
  ~HostileDaemon() {
    stop_ = true;
    thread_.join();
    ::close(listen_fd_);
  }

  uint16_t port() const { return port_; }
  // In force when it returns: the thread has begun a turn since.
  void set_mode(Mode m) {
    mode_ = m;
    for (const uint64_t at = turns_; turns_ < at + 2;) std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  int connections() const { return connections_; }

 private:
  struct Session {
    int client, server;  // server -1: only greeted
    bool stalled = false;
  };

  static sockaddr_in loopback(uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return sa;
  }
  static void say(int fd, const std::string& text) { (void)!::send(fd, text.data(), text.size(), MSG_NOSIGNAL); }

  void accept_one(std::vector<Session>& sessions, Mode mode) {
    const int client = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    ++connections_;
    if (mode == Mode::CloseMidHandshake || mode == Mode::StallMidHandshake) {
      say(client, mode == Mode::CloseMidHandshake ? "< hi >" : "< h");
      if (mode == Mode::CloseMidHandshake) ::close(client);
      else sessions.push_back({client, -1});
      return;
    }
    const int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in sa = loopback(server_port_);
    connect(server, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    sessions.push_back({client, server});
  }

  // Moves what came from one end on as the mode says; false when that end closed.
  static bool pass(Session& s, bool from_client, Mode mode) {
    char buf[4096];
    const ssize_t n = ::recv(from_client ? s.client : s.server, buf, sizeof buf, 0);
    if (n <= 0) return false;
    const bool dropped = mode == Mode::StallMidLine || (from_client && mode == Mode::Garbage);
    if (s.server < 0 || dropped) return true;
    if (!from_client && mode == Mode::Garbage) say(s.client, "#~ garbage ~#\n< frame zz >");
    else say(from_client ? s.server : s.client, std::string(buf, static_cast<std::size_t>(n)));
    return true;
  }

  void run() {
    std::vector<Session> sessions;
    while (!stop_) {
      const Mode mode = mode_;
      ++turns_;
      std::vector<pollfd> fds{{listen_fd_, POLLIN, 0}};
      for (Session& s : sessions) {
        if (mode == Mode::StallMidLine && !s.stalled) say(s.client, "< frame 085 1700000000.000000 11");
        s.stalled = mode == Mode::StallMidLine;
        fds.push_back({mode == Mode::StopReading ? -1 : s.client, POLLIN, 0});
        fds.push_back({s.server, POLLIN, 0});
      }
      if (poll(fds.data(), fds.size(), 1) <= 0) continue;
      std::vector<Session> open;
      for (std::size_t i = 0; i < sessions.size(); ++i) {
        Session& s = sessions[i];
        const bool ok = (!fds[1 + 2 * i].revents || pass(s, true, mode)) && (!fds[2 + 2 * i].revents || pass(s, false, mode));
        if (ok) open.push_back(s);
        else end(s);
      }
      sessions.swap(open);
      if (fds[0].revents) accept_one(sessions, mode);
    }
    for (Session& s : sessions) end(s);
  }
  static void end(const Session& s) {
    ::close(s.client);
    if (s.server >= 0) ::close(s.server);
  }

  const uint16_t server_port_;
  uint16_t port_ = 0;
  int listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  std::atomic<Mode> mode_{Mode::Healthy};
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  std::atomic<uint64_t> turns_{0};  // of the thread's loop, each after reading the mode
  std::thread thread_;
};

}  // namespace testsupport

#endif  // VORBEL_HOSTILE_DAEMON_H
