// A bare socketcand client for tests: a loopback TCP connection that sends
// text and reads whole "< ... >" messages, with time-outs in real time.
#ifndef VORBEL_WIRE_CLIENT_H
#define VORBEL_WIRE_CLIENT_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

class WireClient {
 public:
  // Connects to 127.0.0.1:port; receive_buffer > 0 shrinks the socket's
  // receive buffer first (a client that stalls then fills up quickly).
  explicit WireClient(uint16_t port, int receive_buffer = 0) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (receive_buffer > 0) setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
  }
  ~WireClient() { close(); }
  WireClient(const WireClient&) = delete;
  WireClient& operator=(const WireClient&) = delete;

  bool connected() const { return connected_; }
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  bool send(const std::string& text) {
    return ::send(fd_, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
  }

  // The next message ("< ... >" as sent), or "" when nothing came for
  // timeout_ms, or "EOF" when the server closed the connection.
  std::string next(int timeout_ms = 2000) {
    for (;;) {
      const std::size_t open = buffer_.find('<'), end = buffer_.find('>', open == std::string::npos ? 0 : open);
      if (open != std::string::npos && end != std::string::npos) {
        std::string m = buffer_.substr(open, end - open + 1);
        buffer_.erase(0, end + 1);
        return m;
      }
      if (eof_) return "EOF";
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, timeout_ms) <= 0) return "";
      char buf[4096];
      const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) eof_ = true;
      else buffer_.append(buf, static_cast<std::size_t>(n));
    }
  }

  // Messages until none came for quiet_ms.
  std::vector<std::string> drain(int quiet_ms = 100) {
    std::vector<std::string> out;
    for (std::string m = next(quiet_ms); !m.empty() && m != "EOF"; m = next(quiet_ms)) out.push_back(m);
    return out;
  }

  // The greeting, "< open canN >", "< rawmode >": true when each was answered
  // as it must be. The server answers the rawmode command just before it
  // switches; an echo round trip after it makes sure that no frame of the net
  // passes the client by.
  bool open_raw(int net) {
    return next() == "< hi >" && send("< open can" + std::to_string(net) + " >") && next() == "< ok >" &&
           send("< rawmode >") && next() == "< ok >" && send("< echo >") && next() == "< echo >";
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
  bool eof_ = false;
  std::string buffer_;
};

}  // namespace testsupport

#endif  // VORBEL_WIRE_CLIENT_H
