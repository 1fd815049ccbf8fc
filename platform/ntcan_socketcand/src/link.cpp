#include "link.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace ntcan_socketcand {

namespace {

constexpr int kConnectTimeoutMs = 2000;  // for the connection itself
const std::string kEcho = "< echo >";
constexpr int64_t kEchoRetryMs = 10;  // after an echo request that could not go at once

int64_t now_ms() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::chrono::steady_clock::time_point steady_at(int64_t ms) {
  return std::chrono::steady_clock::time_point(std::chrono::milliseconds(ms));
}

int left_ms(int64_t deadline_ms) {
  const int64_t left = deadline_ms - now_ms();
  return left < 0 ? 0 : static_cast<int>(left);
}

// Whether fd is ready for `events` before the deadline; a signal that
// interrupts the wait does not end it.
bool ready(int fd, short events, int64_t deadline_ms) {
  for (;;) {
    pollfd p{fd, events, 0};
    const int r = poll(&p, 1, left_ms(deadline_ms));
    if (r >= 0 || errno != EINTR) return r == 1;
  }
}

// A connected socket to ep, or -1 with the failure in *status.
int connect_to(const Endpoint& ep, NTCAN_RESULT* status) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(ep.host.c_str(), std::to_string(ep.port).c_str(), &hints, &found) != 0 || !found) {
    *status = NTCAN_SOCK_HOST_NOT_FOUND;
    return -1;
  }
  const int fd = socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  bool ok = fd >= 0;
  if (ok && connect(fd, found->ai_addr, found->ai_addrlen) != 0) {
    ok = false;
    if (errno == EINPROGRESS) {
      int err = 0;
      socklen_t len = sizeof err;
      ok = ready(fd, POLLOUT, now_ms() + kConnectTimeoutMs) && getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0;
    }
  }
  freeaddrinfo(found);
  if (!ok) {
    if (fd >= 0) ::close(fd);
    *status = NTCAN_SOCK_CONN_TIMEOUT;
    return -1;
  }
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

}  // namespace

LiveCounters& live_counters() {
  static LiveCounters& c = *new LiveCounters;  // outlives threads still running at exit
  return c;
}

NTCAN_RESULT Link::open(const Endpoint& ep, OnFrame on_frame, OnDown on_down, std::shared_ptr<Link>* out) {
  NTCAN_RESULT status = NTCAN_SUCCESS;
  const int fd = connect_to(ep, &status);
  if (fd < 0) return status;
  std::shared_ptr<Link> link(new Link(fd, ep.echo_timeout_ms, std::move(on_frame), std::move(on_down)));
  status = link->handshake(ep.bus);
  if (status != NTCAN_SUCCESS) return status;  // the link closes as it goes
  ++live_counters().connects;
  link->last_echo_ms_ = now_ms();
  link->reading_ = true;
  std::thread([link] { link->read_loop(); }).detach();
  *out = std::move(link);
  return NTCAN_SUCCESS;
}

bool Link::next_body(std::string* body, int64_t deadline_ms) {
  while (bodies_.empty()) {
    if (!ready(fd_, POLLIN, deadline_ms)) return false;
    char buf[512];
    const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    splitter_.feed(
        buf, static_cast<std::size_t>(n), [this](std::string_view b) { bodies_.emplace_back(b); },
        [](const char*) { ++live_counters().daemon_errors; });
  }
  *body = std::move(bodies_.front());
  bodies_.pop_front();
  return true;
}

// "< hi >", "< open BUS >" -> "< ok >", "< rawmode >" -> "< ok >", all of
// it within the echo time-out: a daemon that stalls in the middle of it
// holds canOpen no longer.
NTCAN_RESULT Link::handshake(const std::string& bus) {
  using Kind = socketcand::Message::Kind;
  const int64_t deadline = now_ms() + echo_timeout_ms_;
  auto answer = [this, deadline](Kind want) -> NTCAN_RESULT {
    std::string body;
    if (!next_body(&body, deadline)) return NTCAN_SOCK_CMD_TIMEOUT;
    const socketcand::Parsed p = socketcand::parse_message(body);
    if (p.ok() && p.message.kind == want) return NTCAN_SUCCESS;
    ++live_counters().daemon_errors;
    return p.ok() && p.message.kind == Kind::Error ? NTCAN_NET_NOT_FOUND : NTCAN_SOCK_CMD_TIMEOUT;
  };
  auto say = [this, deadline](const std::string& text) {
    const NTCAN_RESULT r = write(text, left_ms(deadline));
    return r == NTCAN_TX_TIMEOUT ? NTCAN_SOCK_CMD_TIMEOUT : r;
  };
  NTCAN_RESULT r = answer(Kind::Hi);
  if (r == NTCAN_SUCCESS) r = say(socketcand::format_open(bus));
  if (r == NTCAN_SUCCESS) r = answer(Kind::Ok);
  if (r == NTCAN_SUCCESS) r = say(socketcand::format_rawmode());
  if (r == NTCAN_SUCCESS) r = answer(Kind::Ok);
  return r;
}

bool Link::begin_write(int64_t deadline_ms) {
  std::unique_lock<std::mutex> lock(write_mu_);
  if (!write_free_.wait_until(lock, steady_at(deadline_ms), [this] { return !writing_ || !up_; })) return false;
  if (!up_) return false;
  writing_ = true;
  return true;
}

void Link::end_write() {
  std::lock_guard<std::mutex> lock(write_mu_);
  writing_ = false;
  write_free_.notify_all();
}

NTCAN_RESULT Link::write(const std::string& text, int timeout_ms) {
  const int64_t deadline = now_ms() + timeout_ms;
  if (!begin_write(deadline)) return up_ ? NTCAN_TX_TIMEOUT : NTCAN_SOCK_CONN_TIMEOUT;
  NTCAN_RESULT result = NTCAN_SUCCESS;
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::send(fd_, text.data() + done, text.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && ready(fd_, POLLOUT, deadline)) continue;
    const bool timed_out = n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    result = timed_out ? NTCAN_TX_TIMEOUT : NTCAN_SOCK_CONN_TIMEOUT;
    if (!timed_out || done > 0) {
      // A failed connection, or a message cut in two: the link is of no more use.
      up_ = false;
      ::shutdown(fd_, SHUT_RDWR);
    }
    break;
  }
  end_write();
  return result;
}

void Link::on_body(std::string_view body) {
  const socketcand::Parsed p = socketcand::parse_message(body);
  if (!p.ok() || p.message.kind == socketcand::Message::Kind::Error) {
    ++live_counters().daemon_errors;
    return;
  }
  if (p.message.kind == socketcand::Message::Kind::Echo) last_echo_ms_ = now_ms();
  if (p.message.kind != socketcand::Message::Kind::Frame) return;
  const socketcand::WireFrame& f = p.message.frame;
  if (f.extended) {
    ++live_counters().extended_dropped;
    return;
  }
  CMSG m{};
  m.id = static_cast<int32_t>(f.id);
  m.len = f.len;
  std::memcpy(m.data, f.data, sizeof m.data);
  ++live_counters().frames_received;
  on_frame_(m);
}

// Reads the daemon's messages and asks it every half echo time-out whether
// it is alive: a link whose daemon has not answered an echo request for the
// whole echo time-out is dead, whatever frames still arrive.
void Link::read_loop() {
  // Frames that came with the last answer of the handshake first.
  for (; !bodies_.empty(); bodies_.pop_front()) on_body(bodies_.front());
  const int64_t echo_every = echo_timeout_ms_ / 2 > 0 ? echo_timeout_ms_ / 2 : 1;
  int64_t next_echo = now_ms();
  char buf[4096];
  while (up_) {
    const int64_t dead_at = last_echo_ms_ + echo_timeout_ms_;
    int64_t now = now_ms();
    if (now >= dead_at) {
      ++live_counters().echo_timeouts;
      up_ = false;
      ::shutdown(fd_, SHUT_RDWR);
      break;
    }
    if (now >= next_echo) {
      // Never waits to write: a thread that does not read could hold up a
      // daemon that waits to write to it. When the request cannot go at once
      // (another write under way, no room in the socket), it goes soon after.
      const bool sent = ready(fd_, POLLOUT, now) && write(kEcho, 0) == NTCAN_SUCCESS;
      next_echo = now + (sent ? echo_every : std::min<int64_t>(echo_every, kEchoRetryMs));
      continue;
    }
    pollfd p{fd_, POLLIN, 0};
    const int r = poll(&p, 1, static_cast<int>((next_echo < dead_at ? next_echo : dead_at) - now));
    if (r == 0 || (r < 0 && errno == EINTR)) continue;
    if (r < 0) break;
    const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    splitter_.feed(
        buf, static_cast<std::size_t>(n), [this](std::string_view b) { on_body(b); },
        [](const char*) { ++live_counters().daemon_errors; });
  }
  const bool lost = !closing_;
  if (lost) ++live_counters().connections_lost;
  up_ = false;
  {
    std::lock_guard<std::mutex> lock(write_mu_);
    write_free_.notify_all();  // writers waiting for their turn give up
  }
  if (lost && on_down_) on_down_();
  std::lock_guard<std::mutex> lock(close_mu_);
  reading_ = false;
  read_done_.notify_all();
}

void Link::close() {
  std::unique_lock<std::mutex> lock(close_mu_);
  if (fd_ < 0) return;
  closing_ = true;
  up_ = false;
  ::shutdown(fd_, SHUT_RDWR);
  read_done_.wait(lock, [this] { return !reading_; });
  {
    // A canSend may still be writing; with the socket shut down it ends at once.
    std::unique_lock<std::mutex> writing(write_mu_);
    write_free_.notify_all();
    write_free_.wait(writing, [this] { return !writing_; });
  }
  ::close(fd_);
  fd_ = -1;
}

}  // namespace ntcan_socketcand
