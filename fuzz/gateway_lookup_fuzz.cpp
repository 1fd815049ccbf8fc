// The gateway address lookup against arbitrary gateway file contents, and
// the reset command built from what it found.
//
// Input: the whole gateway file.
//
// Properties: no read outside the file's lines (AddressSanitizer); the
// lookup answers 0 only for an address of the form DDD.DDD.DDD.DDD; the
// reset runs wget, with exactly the expected arguments, only for such an
// address and never otherwise. The wget here is a stand-in that records its
// arguments.
#include <sys/stat.h>

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <string>

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
    fuzzsupport::write_file(wget, "#!/bin/sh\nfor a in \"$@\"; do printf '%s|' \"$a\"; done >> '" + gw.calls +
                                      "'\necho >> '" + gw.calls + "'\n");
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Gateway& gw = gateway();
  fuzzsupport::Log::get().clear();
  fuzzsupport::write_file(gw.plugin, std::string(reinterpret_cast<const char*>(data), size));
  fuzzsupport::write_file(gw.calls, "");

  std::string expected_calls;
  for (int lineno = 0; lineno <= 21; ++lineno) {
    canline line;
    std::string ip;
    const int r = line.getlineip(lineno, ip);
    FUZZ_CHECK(r == 0 || r == -1, "line %d: result %d", lineno, r);
    FUZZ_CHECK(ip.size() <= 15, "line %d: %zu characters taken", lineno, ip.size());
    FUZZ_CHECK(r != 0 || dotted_digits(ip), "line %d: '%s' accepted", lineno, ip.c_str());
    FUZZ_CHECK((lineno >= 1 && lineno <= 10) || ip.empty(), "line %d has an address", lineno);

    // The reset of a line with what the lookup found runs a command only for
    // an accepted address (tried once per input: it starts a shell).
    if (r == 0 && !expected_calls.empty()) continue;
    line.setlineip(ip);
    line.deny_wget_reset_ = false;
    line.reset_line();
    if (r == 0) expected_calls = "--post-data=FWUpdReset=1|http://telvoadm:pln5ktrow@" + ip + "/Forms/Firmware|\n";
    const std::string calls = fuzzsupport::read_file(gw.calls);
    FUZZ_CHECK(calls == expected_calls, "line %d, address '%s': wget ran as '%s'", lineno, ip.c_str(), calls.c_str());
  }
  return 0;
}
