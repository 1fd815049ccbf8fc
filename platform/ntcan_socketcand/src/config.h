// Which host, port and bus each net is (see ntcan_socketcand.h).
#ifndef NTCAN_SOCKETCAND_CONFIG_H
#define NTCAN_SOCKETCAND_CONFIG_H

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ntcan_socketcand {

constexpr int kNetCount = 256;  // nets 0..255
constexpr int kDefaultEchoTimeoutMs = 3000;
constexpr int kMinEchoTimeoutMs = 10, kMaxEchoTimeoutMs = 600000;

struct Endpoint {
  std::string host;
  uint16_t port = 0;
  std::string bus;
  int echo_timeout_ms = kDefaultEchoTimeoutMs;  // the daemon's time to answer
};

struct Config {
  std::map<int, Endpoint> nets;
  int echo_timeout_ms = 0;  // 0: not given
};

// The entries of `text`; each bad entry is added to `bad` as written.
Config parse_config(std::string_view text, std::vector<std::string>* bad);

// The endpoint of `net` as the environment and the configuration file name
// it now; bad entries are reported once on standard error.
std::optional<Endpoint> endpoint_of(int net);

}  // namespace ntcan_socketcand

#endif  // NTCAN_SOCKETCAND_CONFIG_H
