// The socketcand server of the simulated driver: the nets on a TCP port.
//
// One thread owns the listening socket and every client socket and waits on
// them with poll(). Frames reach the clients through the net observer,
// which runs under the simulation lock as a frame goes on a net: it only
// appends the formatted frame to each client's bounded queue and wakes the
// thread. Frames from clients go on the net through inject(), called by the
// thread without any lock of the server held.
//
// Slots: at most kMaxClients connections. One that has not reached raw mode
// within the handshake limit, or whose queue stayed full for the stalled-client
// limit, is closed; while every slot is taken the listening socket is left
// alone, so new connections wait in its backlog and take a slot as soon as
// one is free.
//
// Locks: simulation lock, then server lock (the observer); the thread never
// holds the server lock while it calls into the simulation.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bus_state.h"
#include "socketcand_wire.h"

namespace ntcan_sim {

using namespace detail;

namespace {

constexpr int kMaxErrorsInRow = 3;    // the third error in a row closes the connection
constexpr int kClientSendBuffer = 64 * 1024;  // kernel buffer per client (SO_SNDBUF)
constexpr std::size_t kReadChunk = 4096;
constexpr std::size_t kMaxClients = 256;
constexpr int kAcceptPauseMs = 100;  // after accept() failed for want of resources

using SteadyClock = std::chrono::steady_clock;

struct Client {
  int fd = -1;
  std::string name;  // participant name of its frames
  socketcand::MessageSplitter splitter;
  enum class Phase { Greeted, Opened, Raw } phase = Phase::Greeted;
  int errors_in_row = 0;
  SteadyClock::time_point accepted;
  // Guarded by the server lock: read by the observer.
  int net = -1;
  bool raw = false;
  std::string out;          // queued bytes; out_done of them already written
  std::size_t out_done = 0;
  bool full = false;        // a frame was dropped and the queue has not drained to half since
  SteadyClock::time_point full_since;
};

void check_limits(const SocketcandLimits& limits) {
  if (limits.handshake.count() <= 0 || limits.stalled_client.count() <= 0)
    throw std::invalid_argument("ntcan_sim::serve_socketcand: the client time limits must be positive");
}

// "127.0.0.1:29536" -> address; throws std::invalid_argument.
sockaddr_in parse_address(const std::string& address) {
  const std::size_t colon = address.rfind(':');
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  const std::string host = colon == std::string::npos ? std::string() : address.substr(0, colon);
  const std::string port = colon == std::string::npos ? std::string() : address.substr(colon + 1);
  char* end = nullptr;
  const unsigned long p = std::strtoul(port.c_str(), &end, 10);
  if (host.empty() || port.empty() || *end != '\0' || p > 65535 || port[0] == '-' ||
      inet_pton(AF_INET, host.c_str(), &sa.sin_addr) != 1) {
    throw std::invalid_argument("ntcan_sim::serve_socketcand: '" + address +
                                "' is not HOST:PORT with a numeric IPv4 host");
  }
  sa.sin_port = htons(static_cast<uint16_t>(p));
  return sa;
}

class Server final : public NetObserver {
 public:
  Server(const std::string& address, const SocketcandLimits& limits) : limits_(limits) {
    const sockaddr_in sa = parse_address(address);
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    const int one = 1;
    if (listen_fd_ < 0 || wake_fd_ < 0 || setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        bind(listen_fd_, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0 || listen(listen_fd_, SOMAXCONN) != 0) {
      const std::string why = std::strerror(errno);
      close_fds();
      throw std::runtime_error("ntcan_sim::serve_socketcand: cannot serve on " + address + ": " + why);
    }
    sockaddr_in bound{};
    socklen_t len = sizeof bound;
    getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&bound), &len);
    stats_.port = ntohs(bound.sin_port);
    thread_ = std::thread([this] { run(); });
  }

  ~Server() {
    stop_ = true;
    wake();
    thread_.join();
    for (const auto& c : clients_) ::close(c->fd);
    close_fds();
  }
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  SocketcandStats stats() {
    std::lock_guard<std::mutex> lock(mu_);
    SocketcandStats s = stats_;
    s.clients = clients_.size();
    return s;
  }

  // Simulation lock held.
  void frame_on_net(int net, const CMSG& m, int64_t time_us, const std::string& from) override {
    std::lock_guard<std::mutex> lock(mu_);
    std::string line;
    bool queued = false;
    for (const auto& c : clients_) {
      if (!c->raw || c->net != net || c->name == from) continue;
      if (m.len & NTCAN_RTR) {
        ++stats_.remote_not_sent;
        continue;
      }
      if (line.empty()) {
        socketcand::WireFrame f;
        f.id = static_cast<uint32_t>(m.id);
        f.len = static_cast<uint8_t>(m.len & NTCAN_DLC_MASK);
        std::memcpy(f.data, m.data, sizeof f.data);
        line = socketcand::format_frame(f, time_us);
      }
      const bool was_full = c->full;
      if (queue_locked(*c, line)) {
        ++stats_.frames_out;
        queued = true;
      } else {
        ++stats_.frames_lost;
        queued = queued || !was_full;  // the thread starts its stalled-client clock
      }
    }
    if (queued) wake();
  }

 private:
  void close_fds() {
    if (listen_fd_ >= 0) ::close(listen_fd_);
    if (wake_fd_ >= 0) ::close(wake_fd_);
  }

  void wake() {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(wake_fd_, &one, sizeof one);
  }

  // Appends `text` to the client's queue unless that would pass the bound.
  // Server lock held.
  static bool queue_locked(Client& c, const std::string& text) {
    if (c.out.size() - c.out_done + text.size() > kSocketcandQueueBytes) {
      if (!c.full) c.full_since = SteadyClock::now();
      c.full = true;
      return false;
    }
    c.out += text;
    return true;
  }

  void queue(Client& c, const std::string& text) {
    std::lock_guard<std::mutex> lock(mu_);
    if (!queue_locked(c, text)) ++stats_.frames_lost;
  }

  // Writes what the socket takes now. False when the connection failed.
  bool flush(Client& c) {
    std::lock_guard<std::mutex> lock(mu_);
    return flush_locked(c);
  }

  // The same, server lock held.
  static bool flush_locked(Client& c) {
    while (c.out_done < c.out.size()) {
      const ssize_t n = ::send(c.fd, c.out.data() + c.out_done, c.out.size() - c.out_done, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      c.out_done += static_cast<std::size_t>(n);
    }
    // Full from a frame dropped until the client has read half the bound.
    if (c.out.size() - c.out_done <= kSocketcandQueueBytes / 2) c.full = false;
    if (c.out_done == c.out.size()) {
      c.out.clear();
      c.out_done = 0;
    } else if (c.out_done > kSocketcandQueueBytes) {
      c.out.erase(0, c.out_done);
      c.out_done = 0;
    }
    return true;
  }

  // Accepts waiting connections while slots are free; false when accept()
  // lacks resources (out of file descriptors, memory), so that the next poll
  // leaves the port be for a while instead of spinning on it.
  bool accept_clients() {
    for (;;) {
      {
        std::lock_guard<std::mutex> lock(mu_);
        if (clients_.size() >= kMaxClients) return true;
      }
      const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ECONNABORTED;
      const int one = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kClientSendBuffer, sizeof kClientSendBuffer);
      auto c = std::make_shared<Client>();
      c->fd = fd;
      c->accepted = SteadyClock::now();
      c->out = socketcand::format_hi();
      std::lock_guard<std::mutex> lock(mu_);
      c->name = "socketcand client " + std::to_string(++stats_.connections);
      clients_.push_back(std::move(c));
    }
  }

  // Closes the clients past their time limits: no handshake within the
  // limit, or a queue full for the stalled-client limit. Returns the next
  // moment a limit may run out (time_point::max() for none).
  SteadyClock::time_point close_expired() {
    const auto now = SteadyClock::now();
    auto next = SteadyClock::time_point::max();
    std::vector<std::shared_ptr<Client>> idle, stalled;
    {
      std::lock_guard<std::mutex> lock(mu_);
      for (const auto& c : clients_) {
        const bool handshaking = c->phase != Client::Phase::Raw;
        if (!handshaking && !c->full) continue;
        const auto limit = handshaking ? c->accepted + limits_.handshake : c->full_since + limits_.stalled_client;
        if (limit > now) {
          next = std::min(next, limit);
        } else {
          (handshaking ? idle : stalled).push_back(c);
        }
      }
      stats_.closed_idle += idle.size();
      stats_.closed_stalled += stalled.size();
    }
    const std::string late = socketcand::format_error("no handshake in time");
    for (const auto& c : idle) {
      [[maybe_unused]] const ssize_t n = ::send(c->fd, late.data(), late.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      drop(c);
    }
    for (const auto& c : stalled) drop(c);
    return next;
  }

  void drop(const std::shared_ptr<Client>& c) {
    std::lock_guard<std::mutex> lock(mu_);
    for (auto it = clients_.begin(); it != clients_.end(); ++it) {
      if (*it == c) {
        clients_.erase(it);
        break;
      }
    }
    ::close(c->fd);
  }

  // Answers garbage; false when the connection is to be closed.
  bool error(Client& c, const std::string& why) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      ++stats_.errors;
      if (c.errors_in_row + 1 >= kMaxErrorsInRow) ++stats_.closed_for_errors;
    }
    queue(c, socketcand::format_error(why));
    return ++c.errors_in_row < kMaxErrorsInRow;
  }

  // A client's frame that the nets cannot carry: answered, counted, not an error.
  void refuse(Client& c, const char* why) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      ++stats_.refused;
    }
    queue(c, socketcand::format_error(why));
  }

  // One message body of a client; false when the connection is to be closed.
  bool handle(Client& c, std::string_view body) {
    const socketcand::Parsed p = socketcand::parse_message(body);
    if (!p.ok()) return error(c, p.error);
    using Kind = socketcand::Message::Kind;
    const socketcand::Message& m = p.message;
    switch (c.phase) {
      case Client::Phase::Greeted: {
        if (m.kind != Kind::Open) return error(c, "open a bus first");
        const std::string& bus = m.bus;
        char* end = nullptr;
        const long n = bus.size() > 3 && bus.compare(0, 3, "can") == 0 && bus[3] >= '0' && bus[3] <= '9'
                           ? std::strtol(bus.c_str() + 3, &end, 10) : -1;
        if (n < 0 || n >= kNetCount || *end != '\0') return error(c, "no such bus");
        {
          std::lock_guard<std::mutex> lock(mu_);
          c.net = static_cast<int>(n);
        }
        c.phase = Client::Phase::Opened;
        queue(c, socketcand::format_ok());
        break;
      }
      case Client::Phase::Opened:
        if (m.kind != Kind::RawMode) return error(c, "only rawmode is served");
        c.phase = Client::Phase::Raw;
        {
          // The answer leaves alone, before any frame: python-can takes it
          // with one read and compares it whole. The client is raw from the
          // moment the answer is out, under the same lock, so that a frame
          // put on the net after the client read its answer is never missed.
          std::lock_guard<std::mutex> lock(mu_);
          queue_locked(c, socketcand::format_ok());
          flush_locked(c);
          c.raw = true;
        }
        break;
      case Client::Phase::Raw:
        if (m.kind == Kind::Echo) {
          queue(c, "< echo >");
        } else if (m.kind != Kind::Send) {
          return error(c, "not served in raw mode");
        } else if (m.frame.remote) {
          refuse(c, "remote frames cannot be carried");
        } else if (m.frame.extended) {
          refuse(c, "extended frames cannot be carried");
        } else {
          CMSG f{};
          f.id = static_cast<int32_t>(m.frame.id);
          f.len = m.frame.len;
          std::memcpy(f.data, m.frame.data, sizeof f.data);
          inject(c.net, f, c.name);
          std::lock_guard<std::mutex> lock(mu_);
          ++stats_.frames_in;
        }
        break;
    }
    c.errors_in_row = 0;
    return true;
  }

  // Reads what the client sent; false when the connection is to be closed.
  bool receive(Client& c) {
    char buf[kReadChunk];
    const ssize_t n = ::recv(c.fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    if (n == 0) return false;  // closed; an unfinished message is dropped with it
    bool keep = true;
    c.splitter.feed(
        buf, static_cast<std::size_t>(n), [&](std::string_view body) { keep = keep && handle(c, body); },
        [&](const char* why) { keep = keep && error(c, why); });
    return keep;
  }

  void run() {
    std::vector<pollfd> fds;
    std::vector<std::shared_ptr<Client>> polled;
    bool accepting = true;
    while (!stop_) {
      const auto next_limit = close_expired();
      fds.assign({{wake_fd_, POLLIN, 0}, {-1, POLLIN, 0}});
      {
        std::lock_guard<std::mutex> lock(mu_);
        // With every slot taken, new connections wait in the backlog.
        if (accepting && clients_.size() < kMaxClients) fds[1].fd = listen_fd_;
        polled = clients_;
        for (const auto& c : polled) {
          const short events = static_cast<short>(POLLIN | (c->out.size() > c->out_done ? POLLOUT : 0));
          fds.push_back({c->fd, events, 0});
        }
      }
      int timeout_ms = accepting ? -1 : kAcceptPauseMs;
      if (next_limit != SteadyClock::time_point::max()) {
        using std::chrono::milliseconds;
        // Rounded up: waking before the limit would only poll again.
        const auto left = std::chrono::ceil<milliseconds>(next_limit - SteadyClock::now()).count();
        const int until_limit = static_cast<int>(std::max<long long>(0, std::min<long long>(left, 60000)));
        timeout_ms = timeout_ms < 0 ? until_limit : std::min(timeout_ms, until_limit);
      }
      const int ready = poll(fds.data(), fds.size(), timeout_ms);
      accepting = true;
      if (ready < 0) continue;
      if (fds[0].revents & POLLIN) {
        uint64_t drained = 0;
        [[maybe_unused]] const ssize_t n = ::read(wake_fd_, &drained, sizeof drained);
      }
      if (fds[1].revents & POLLIN) accepting = accept_clients();
      for (std::size_t i = 0; i < polled.size() && !stop_; ++i) {
        Client& c = *polled[i];
        const short ev = fds[i + 2].revents;
        bool keep = !(ev & (POLLERR | POLLNVAL));
        if (keep && (ev & (POLLIN | POLLHUP))) keep = receive(c);
        // Frames queued by the observer since the poll began go out too.
        if (!flush(c) || !keep) {
          flush(c);  // an error answer that ends the connection is still sent if it can be
          drop(polled[i]);
        }
      }
    }
  }

  const SocketcandLimits limits_;
  int listen_fd_ = -1;
  int wake_fd_ = -1;
  std::atomic<bool> stop_{false};
  std::mutex mu_;  // clients_, the clients' queues, net and raw, stats_
  std::vector<std::shared_ptr<Client>> clients_;
  SocketcandStats stats_;
  std::thread thread_;
};

// The running server, if any. Serving, stopping and the exit hook take this
// lock first, then the simulation lock.
std::mutex g_mu;
Server* g_server = nullptr;

void stop_at_exit() { stop_socketcand(); }

// NTCAN_SIM_SOCKETCAND=HOST:PORT serves the nets as soon as the driver is loaded.
struct ServeFromEnvironment {
  ServeFromEnvironment() {
    const char* address = std::getenv("NTCAN_SIM_SOCKETCAND");
    if (!address || !*address) return;
    try {
      const uint16_t port = serve_socketcand(address);
      const std::string host(address, std::strrchr(address, ':'));
      std::fprintf(stderr, "ntcan_sim: socketcand server on %s:%u\n", host.c_str(), static_cast<unsigned>(port));
    } catch (const std::exception& e) {
      std::fprintf(stderr, "ntcan_sim: NTCAN_SIM_SOCKETCAND: %s\n", e.what());
    }
  }
};
const ServeFromEnvironment serve_from_environment;

}  // namespace

uint16_t serve_socketcand(const std::string& address) { return serve_socketcand(address, SocketcandLimits{}); }

uint16_t serve_socketcand(const std::string& address, const SocketcandLimits& limits) {
  check_limits(limits);
  std::lock_guard<std::mutex> lock(g_mu);
  static const bool stop_registered = std::atexit(stop_at_exit) == 0;
  (void)stop_registered;
  if (g_server) {
    {
      std::lock_guard<std::mutex> sim(state().mu);
      state().observer = nullptr;
    }
    delete g_server;
    g_server = nullptr;
  }
  auto server = std::make_unique<Server>(address, limits);
  const uint16_t port = server->stats().port;
  {
    std::lock_guard<std::mutex> sim(state().mu);
    state().observer = server.get();
  }
  g_server = server.release();
  return port;
}

void stop_socketcand() {
  std::lock_guard<std::mutex> lock(g_mu);
  if (!g_server) return;
  {
    // After this no frame reaches the server: the observer runs only under
    // the simulation lock.
    std::lock_guard<std::mutex> sim(state().mu);
    state().observer = nullptr;
  }
  delete g_server;
  g_server = nullptr;
}

SocketcandStats socketcand_stats() {
  std::lock_guard<std::mutex> lock(g_mu);
  return g_server ? g_server->stats() : SocketcandStats{};
}

}  // namespace ntcan_sim
