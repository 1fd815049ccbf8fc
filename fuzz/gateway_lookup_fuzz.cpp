// The gateway address lookup against arbitrary gateway file contents, and
// the reset command built from what it found.
//
// Input: the whole gateway file.
//
// Properties: no read outside the file's lines (AddressSanitizer); the
// lookup finds what the first entry of the line's index holds (the index the
// whole number from position 9, so lines 1 to 20 can have a gateway) and
// answers 0 only for an address of the form DDD.DDD.DDD.DDD; the reset runs
// wget, with exactly the expected arguments (the address without leading
// zeros), only for such an address and never otherwise, and its log line
// never shows the password. The wget here is a stand-in that records its
// arguments.
#include <sys/stat.h>

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "D_vorbel.h"
#include "fuzz_support.h"

namespace {

struct Gateway {
  std::string plugin;
  std::string calls;
};

const Gateway& gateway() {
  static const Gateway g = [] {
    fuzzsupport::Log::get();
    Gateway gw;
    gw.plugin = fuzzsupport::scratch_file("esd-plugin");
    gw.calls = fuzzsupport::scratch_file("wget-calls");
    const std::string wget = fuzzsupport::scratch_file("wget");
    // The credentials file's name differs by run: recorded as FILE.
    fuzzsupport::write_file(wget, "#!/bin/sh\nfor a in \"$@\"; do case \"$a\" in --config=*) a=--config=FILE;; esac; "
                                  "printf '%s|' \"$a\"; done >> '" + gw.calls + "'\necho >> '" + gw.calls + "'\n");
    chmod(wget.c_str(), 0755);
    const char* path = std::getenv("PATH");
    setenv("PATH", (fuzzsupport::scratch_dir() + ":" + (path ? path : "/usr/bin:/bin")).c_str(), 1);
    setenv("VORBEL_ESD_PLUGIN", gw.plugin.c_str(), 1);
    return gw;
  }();
  return g;
}

// Three digits, a dot, three digits, a dot, three digits, a dot, three digits.
bool dotted_digits(const std::string& ip) {
  if (ip.size() != 15) return false;
  for (size_t i = 0; i < ip.size(); ++i) {
    const bool dot = i % 4 == 3;
    if (dot ? ip[i] != '.' : !std::isdigit(static_cast<unsigned char>(ip[i]))) return false;
  }
  return true;
}

// What the first entry of `lineno` holds: the up to 15 characters after the
// first quote of the first line "PeerName?<index>...\"..." whose index is
// lineno - 1.
std::string expected_entry(const std::string& file, int lineno) {
  for (size_t at = 0; at < file.size();) {
    const size_t end = file.find('\n', at);
    const std::string line = file.substr(at, end == std::string::npos ? std::string::npos : end + 1 - at);
    at = end == std::string::npos ? file.size() : end + 1;
    if (line.size() < 10 || line.compare(0, 8, "PeerName") != 0) continue;
    long index = 0;
    for (size_t k = 9; k < line.size() && std::isdigit(static_cast<unsigned char>(line[k])) && index <= 1000; ++k)
      index = index * 10 + (line[k] - '0');
    const size_t quote = line.find('"');
    if (index == lineno - 1 && quote != std::string::npos) return line.substr(quote + 1, 15);
  }
  return "";
}

// "001.020.300.000" as "1.20.300.0".
std::string without_leading_zeros(const std::string& ip) {
  std::string out;
  for (size_t part = 0; part < 4; ++part) {
    std::string digits = ip.substr(part * 4, 3);
    while (digits.size() > 1 && digits[0] == '0') digits.erase(0, 1);
    out += (part ? "." : "") + digits;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Gateway& gw = gateway();
  const std::string file(reinterpret_cast<const char*>(data), size);
  fuzzsupport::write_file(gw.plugin, file);
  fuzzsupport::write_file(gw.calls, "");

  std::string expected_calls;
  for (int lineno = 0; lineno <= 21; ++lineno) {
    fuzzsupport::Log::get().clear();
    canline line;
    std::string ip;
    const int r = line.getlineip(lineno, ip);
    FUZZ_CHECK(r == 0 || r == -1, "line %d: result %d", lineno, r);
    FUZZ_CHECK(ip.size() <= 15, "line %d: %zu characters taken", lineno, ip.size());
    FUZZ_CHECK(r != 0 || dotted_digits(ip), "line %d: '%s' accepted", lineno, ip.c_str());
    FUZZ_CHECK(ip == expected_entry(file, lineno), "line %d: '%s' taken", lineno, ip.c_str());

    // The reset of a line with what the lookup found runs a command only for
    // an accepted address (tried once per input: it starts a shell).
    if (r == 0 && !expected_calls.empty()) continue;
    line.setlineip(ip);
    line.deny_wget_reset_ = false;
    line.reset_line();
    const std::string host = r == 0 ? without_leading_zeros(ip) : "";
    if (r == 0) expected_calls = "--post-data=FWUpdReset=1|--config=FILE|http://" + host + "/Forms/Firmware|\n";
    const std::string calls = fuzzsupport::read_file(gw.calls);
    FUZZ_CHECK(calls == expected_calls, "line %d, address '%s': wget ran as '%s'", lineno, ip.c_str(), calls.c_str());
    const std::vector<std::string> logged = fuzzsupport::Log::get().texts("system called with : ");
    const std::vector<std::string> shown = {"wget --post-data=\"FWUpdReset=1\" http://telvoadm:***@" + host +
                                            "/Forms/Firmware"};
    FUZZ_CHECK(logged == (r == 0 ? shown : std::vector<std::string>{}), "line %d: reset logged as '%s'", lineno,
               logged.empty() ? "" : logged[0].c_str());
  }
  return 0;
}
