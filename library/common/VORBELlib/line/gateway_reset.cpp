// Network gateway reset: the gateway address of a line from the gateway
// file, and the wget command that asks the gateway to reset itself.
#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "D_vorbel.h"
#include "line/line_log.h"

namespace {

constexpr size_t kAddressLength = 15;  // "ddd.ddd.ddd.ddd"

// The gateway file; the environment variable VORBEL_ESD_PLUGIN points the
// lookup at another file (tests, demos).
std::string gateway_file() {
  const char* path = std::getenv("VORBEL_ESD_PLUGIN");
  return path && *path ? path : "/etc/esd-plugin";
}

// The reset command runs through the shell, so the address taken from the
// gateway file must be a plain dotted IPv4 address, three digits per part:
// nothing else may ever reach the command line.
bool is_gateway_address(const std::string& ip) {
  if (ip.size() != kAddressLength) return false;
  for (size_t part = 0; part < 4; ++part) {
    const size_t at = part * 4;
    int value = 0;
    for (size_t k = at; k < at + 3; ++k) {
      if (!std::isdigit(static_cast<unsigned char>(ip[k]))) return false;
      value = value * 10 + (ip[k] - '0');
    }
    if (value > 255) return false;
    if (part < 3 && ip[at + 3] != '.') return false;
  }
  return true;
}

}  // namespace

int canline::getlineip(int lineno, std::string& ip) {
  const std::string path = gateway_file();
  FILE* f = std::fopen(path.c_str(), "r");
  if (!f) {
    vorbel::log("canline::getlineip cannot open  ", path);
    return -1;
  }
  char* buf = nullptr;
  size_t cap = 0;
  ssize_t n;
  while ((n = getline(&buf, &cap, f)) > 0) {
    const std::string line(buf, static_cast<size_t>(n));  // with its newline
    // An entry: "PeerName", the entry index at position 9, a double quote
    // followed by the address. Lines too short for the index are passed over.
    if (line.size() < 10 || line.compare(0, 8, "PeerName") != 0) continue;
    const char digit = line[9];
    const int index = std::isdigit(static_cast<unsigned char>(digit)) ? digit - '0' : 0;
    if (index != lineno - 1) continue;
    const size_t quote = line.find('"');
    if (quote == std::string::npos) continue;
    ip = line.substr(quote + 1, kAddressLength);
    break;
  }
  std::free(buf);
  std::fclose(f);
  return is_gateway_address(ip) ? 0 : -1;
}

void canline::reset_line() {
  if (deny_wget_reset_ || !is_gateway_address(line_ip_)) return;
  std::string cmd = "wget --post-data=";
  cmd += '"';
  cmd += "FWUpdReset=1";
  cmd += '"';
  cmd += " http://";
  cmd += "telvoadm";
  cmd += ":";
  cmd += "pln5ktrow";
  cmd += "@";
  cmd += line_ip_;
  cmd += "/Forms/Firmware";
  // The gateway's answer and wget's exit status do not matter: the
  // supervision thread goes on trying to reopen the line either way.
  const int status = std::system(cmd.c_str());
  (void)status;
  if (!reset_first_.exchange(true)) vorbel::log("system called with : ", cmd);
}
