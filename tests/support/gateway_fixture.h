// A gateway file of the test's own and a stand-in wget that records its
// arguments instead of reaching any network.
#ifndef VORBEL_GATEWAY_FIXTURE_H
#define VORBEL_GATEWAY_FIXTURE_H

#include <sys/stat.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

namespace testsupport {

class FakeGateway {
 public:
  FakeGateway() {
    const std::string wget = dir_.file("wget");
    write_file(wget, "#!/bin/sh\nfor a in \"$@\"; do printf '%s|' \"$a\"; done >> '" + calls_file() +
                         "'\necho >> '" + calls_file() + "'\n");
    chmod(wget.c_str(), 0755);
    const char* path = std::getenv("PATH");
    setenv("PATH", (dir_.path() + ":" + (path ? path : "/usr/bin:/bin")).c_str(), 1);
    setenv("VORBEL_ESD_PLUGIN", plugin_file().c_str(), 1);
  }

  std::string plugin_file() const { return dir_.file("esd-plugin"); }
  std::string calls_file() const { return dir_.file("wget-calls"); }
  void write_plugin(const std::string& content) const { write_file(plugin_file(), content); }
  const TempDir& dir() const { return dir_; }

  // One entry per run of wget: its arguments joined by '|'.
  std::vector<std::string> calls() const {
    std::vector<std::string> out;
    std::istringstream in(read_file(calls_file()));
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
  }

 private:
  TempDir dir_;
};

}  // namespace testsupport

#endif  // VORBEL_GATEWAY_FIXTURE_H
