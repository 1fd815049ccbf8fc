#include "config.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <mutex>
#include <set>

namespace ntcan_socketcand {

namespace {

bool all_digits(std::string_view s) {
  if (s.empty() || s.size() > 5) return false;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// NET=HOST:PORT[:BUS]
bool parse_entry(std::string_view e, int* net, Endpoint* ep) {
  const std::size_t eq = e.find('=');
  if (eq == std::string_view::npos || !all_digits(e.substr(0, eq))) return false;
  *net = std::atoi(std::string(e.substr(0, eq)).c_str());
  const std::string_view rest = e.substr(eq + 1);
  const std::size_t c1 = rest.find(':');
  if (c1 == std::string_view::npos || c1 == 0) return false;
  const std::size_t c2 = rest.find(':', c1 + 1);
  const std::string_view port = rest.substr(c1 + 1, c2 == std::string_view::npos ? std::string_view::npos : c2 - c1 - 1);
  if (!all_digits(port)) return false;
  const long p = std::atol(std::string(port).c_str());
  if (*net >= kNetCount || p < 1 || p > 65535) return false;
  ep->host = std::string(rest.substr(0, c1));
  ep->port = static_cast<uint16_t>(p);
  ep->bus = c2 == std::string_view::npos ? "can" + std::to_string(*net) : std::string(rest.substr(c2 + 1));
  return !ep->bus.empty() && ep->bus.find(':') == std::string::npos;
}

// echo_timeout_ms=MS
bool parse_echo_timeout(std::string_view e, int* ms) {
  constexpr std::string_view kKey = "echo_timeout_ms=";
  const std::string_view value = e.substr(std::min(e.size(), kKey.size()));
  if (e.substr(0, kKey.size()) != kKey || value.empty() || value.size() > 6 ||
      value.find_first_not_of("0123456789") != std::string_view::npos)
    return false;
  *ms = std::atoi(std::string(value).c_str());
  return *ms >= kMinEchoTimeoutMs && *ms <= kMaxEchoTimeoutMs;
}

std::string read_file(const char* path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

Config parse_config(std::string_view text, std::vector<std::string>* bad) {
  Config out;
  std::size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (c == '#') {
      while (i < text.size() && text[i] != '\n') ++i;
      continue;
    }
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == ',' || c == ';') {
      ++i;
      continue;
    }
    const std::size_t start = i;
    while (i < text.size() && std::string_view(" \t\r\n,;#").find(text[i]) == std::string_view::npos) ++i;
    const std::string_view entry = text.substr(start, i - start);
    int net = 0, echo_ms = 0;
    Endpoint ep;
    if (parse_entry(entry, &net, &ep)) {
      out.nets[net] = ep;
    } else if (parse_echo_timeout(entry, &echo_ms)) {
      out.echo_timeout_ms = echo_ms;
    } else if (bad) {
      bad->emplace_back(entry);
    }
  }
  return out;
}

std::optional<Endpoint> endpoint_of(int net) {
  const char* file = std::getenv("NTCAN_SOCKETCAND_CONFIG");
  const char* env = std::getenv("NTCAN_SOCKETCAND");
  std::vector<std::string> bad;
  Config config = parse_config(read_file(file && *file ? file : "/etc/ntcan-socketcand.conf"), &bad);
  const Config from_env = parse_config(env ? env : "", &bad);
  for (auto& [n, ep] : from_env.nets) config.nets[n] = ep;
  if (from_env.echo_timeout_ms > 0) config.echo_timeout_ms = from_env.echo_timeout_ms;

  static std::mutex mu;
  static std::set<std::string> reported;
  {
    std::lock_guard<std::mutex> lock(mu);
    for (const std::string& b : bad) {
      if (reported.insert(b).second) {
        std::fprintf(stderr,
                     "ntcan_socketcand: ignoring the configuration entry '%s' (expected NET=HOST:PORT[:BUS] or "
                     "echo_timeout_ms=%d..%d)\n",
                     b.c_str(), kMinEchoTimeoutMs, kMaxEchoTimeoutMs);
      }
    }
  }
  const auto it = config.nets.find(net);
  if (it == config.nets.end()) return std::nullopt;
  Endpoint ep = it->second;
  if (config.echo_timeout_ms > 0) ep.echo_timeout_ms = config.echo_timeout_ms;
  return ep;
}

}  // namespace ntcan_socketcand
