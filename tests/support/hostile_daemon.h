// A socketcand daemon that turns hostile on request, for tests of clients:
// a proxy on a loopback port of its own in front of a healthy server (e.g.
// ntcan_sim_server). Healthy, it passes every byte both ways; on request it
// stalls in the middle of a message, stops reading its clients, sends
// garbage in place of the server's messages, or greets new connections and
// then closes them or stalls in the middle of the greeting.
#ifndef VORBEL_HOSTILE_DAEMON_H
#define VORBEL_HOSTILE_DAEMON_H

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

class HostileDaemon {
 public:
  enum class Mode {
    Healthy,
    StallMidLine,       // half a frame to each client, then nothing more (what clients send is read and dropped)
    StopReading,        // the clients' messages are no longer read; the server's frames still reach them
    Garbage,            // garbage in place of each piece of the server's messages
    CloseMidHandshake,  // a new connection is greeted, then closed before its bus is opened
    StallMidHandshake,  // a new connection gets half a greeting, then nothing
  };

  explicit HostileDaemon(uint16_t server_port) : server_port_(server_port) {
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa = loopback(0);
    socklen_t len = sizeof sa;
    if (listen_fd_ < 0 || bind(listen_fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
        listen(listen_fd_, 16) != 0 || getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&sa), &len) != 0 ||
        pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0)
      throw std::runtime_error("hostile daemon: cannot listen");
    port_ = ntohs(sa.sin_port);
    thread_ = std::thread([this] { run(); });
  }
  ~HostileDaemon() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      stop_ = true;
    }
    wake();
    thread_.join();
    ::close(listen_fd_);
    ::close(wake_[0]);
    ::close(wake_[1]);
  }
  HostileDaemon(const HostileDaemon&) = delete;
  HostileDaemon& operator=(const HostileDaemon&) = delete;

  uint16_t port() const { return port_; }
  // In force when it returns.
  void set_mode(Mode m) {
    std::unique_lock<std::mutex> lock(mu_);
    wanted_ = m;
    const uint64_t asked = ++asked_;
    wake();
    applied_cv_.wait(lock, [&] { return applied_ >= asked; });
  }
  // Connections accepted, and "< echo >" requests passed to the server.
  int connections() const { return connections_; }
  int echo_requests() const { return echo_requests_; }

 private:
  struct Session {
    int client = -1;
    int server = -1;  // -1 for a connection that is only greeted
  };

  static sockaddr_in loopback(uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return sa;
  }
  static void say(int fd, const std::string& text) {
    [[maybe_unused]] const ssize_t n = ::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
  }
  static void end(Session& s) {
    ::close(s.client);
    if (s.server >= 0) ::close(s.server);
    s.client = s.server = -1;
  }
  void wake() { [[maybe_unused]] const ssize_t n = ::write(wake_[1], "x", 1); }

  // The mode asked for, once the thread has done what entering it takes.
  bool apply_mode(std::vector<Session>& sessions) {
    std::lock_guard<std::mutex> lock(mu_);
    if (applied_ < asked_) {
      if (wanted_ == Mode::StallMidLine && mode_ != Mode::StallMidLine)
        for (Session& s : sessions) say(s.client, "< frame 085 1700000000.000000 11");
      mode_ = wanted_;
      applied_ = asked_;
      applied_cv_.notify_all();
    }
    return !stop_;
  }

  void accept_one(std::vector<Session>& sessions) {
    Session s;
    s.client = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (s.client < 0) return;
    ++connections_;
    if (mode_ == Mode::CloseMidHandshake) {
      say(s.client, "< hi >");
      ::close(s.client);
      return;
    }
    if (mode_ == Mode::StallMidHandshake) {
      say(s.client, "< h");
    } else {
      s.server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      const sockaddr_in sa = loopback(server_port_);
      if (connect(s.server, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) return end(s);
    }
    sessions.push_back(s);
  }

  // Moves what arrived on `from` on, as the mode says; false when `from` closed.
  bool pass(Session& s, bool from_client) {
    char buf[4096];
    const ssize_t n = ::recv(from_client ? s.client : s.server, buf, sizeof buf, 0);
    if (n <= 0) return false;
    const std::string chunk(buf, static_cast<std::size_t>(n));
    if (from_client) {
      if (mode_ != Mode::StallMidLine && mode_ != Mode::Garbage && s.server >= 0) {
        for (std::size_t at = chunk.find("< echo >"); at != std::string::npos; at = chunk.find("< echo >", at + 1))
          ++echo_requests_;
        say(s.server, chunk);
      }
    } else if (mode_ == Mode::Garbage) {
      say(s.client, "#~ garbage ~#\n< frame zz >");
    } else if (mode_ != Mode::StallMidLine) {
      say(s.client, chunk);
    }
    return true;
  }

  void run() {
    std::vector<Session> sessions;
    std::vector<pollfd> fds;
    while (apply_mode(sessions)) {
      fds.assign({{wake_[0], POLLIN, 0}, {listen_fd_, POLLIN, 0}});
      for (const Session& s : sessions) {
        fds.push_back({mode_ == Mode::StopReading ? -1 : s.client, POLLIN, 0});
        fds.push_back({s.server, POLLIN, 0});
      }
      if (poll(fds.data(), fds.size(), -1) < 0) continue;
      char drain[64];
      while (::read(wake_[0], drain, sizeof drain) > 0) {
      }
      const std::size_t polled = sessions.size();
      if (fds[1].revents & POLLIN) accept_one(sessions);
      for (std::size_t i = 0; i < polled; ++i) {
        Session& s = sessions[i];
        const bool ok = !(fds[2 + 2 * i].revents & (POLLIN | POLLHUP | POLLERR)) || pass(s, true);
        if (!ok || ((fds[3 + 2 * i].revents & (POLLIN | POLLHUP | POLLERR)) && !pass(s, false))) end(s);
      }
      std::vector<Session> open;
      for (const Session& s : sessions)
        if (s.client >= 0) open.push_back(s);
      sessions.swap(open);
    }
    for (Session& s : sessions) end(s);
  }

  const uint16_t server_port_;
  uint16_t port_ = 0;
  int listen_fd_ = -1;
  int wake_[2] = {-1, -1};
  std::mutex mu_;
  std::condition_variable applied_cv_;
  Mode wanted_ = Mode::Healthy;  // guarded by mu_, as are the next three
  uint64_t asked_ = 0, applied_ = 0;
  bool stop_ = false;
  Mode mode_ = Mode::Healthy;  // written under mu_ by the thread, read by it alone
  std::atomic<int> connections_{0}, echo_requests_{0};
  std::thread thread_;
};

}  // namespace testsupport

#endif  // VORBEL_HOSTILE_DAEMON_H
