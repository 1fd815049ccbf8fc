// A gateway file of the test's own and a stand-in wget that records its
// arguments, and the startup file it was pointed at, instead of reaching any
// network.
#ifndef VORBEL_GATEWAY_FIXTURE_H
#define VORBEL_GATEWAY_FIXTURE_H

#include <sys/stat.h>

#include <cstdlib>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

namespace testsupport {

class FakeGateway {
 public:
  FakeGateway() {
    write_wget();
    const char* path = std::getenv("PATH");
    setenv("PATH", (dir_.path() + ":" + (path ? path : "/usr/bin:/bin")).c_str(), 1);
    setenv("VORBEL_ESD_PLUGIN", plugin_file().c_str(), 1);
  }

  // The stand-in wget: it records its arguments and, for --config=FILE,
  // FILE's name, mode and content as it found them; then runs `then`
  // (shell commands).
  void write_wget(const std::string& then = "") const {
    const std::string wget = dir_.file("wget");
    write_file(wget, "#!/bin/sh\n"
                     "for a in \"$@\"; do\n"
                     "  printf '%s|' \"$a\" >> '" + calls_file() + "'\n"
                     "  case \"$a\" in --config=*) f=\"${a#--config=}\"\n"
                     "    printf '%s|%s|%s\\n' \"$f\" \"$(stat -c %a \"$f\")\" \"$(tr '\\n' ';' < \"$f\")\" >> '" +
                         dir_.file("wgetrcs") + "';; esac\n"
                     "done\n"
                     "echo >> '" + calls_file() + "'\n" + then);
    chmod(wget.c_str(), 0755);
  }

  std::string plugin_file() const { return dir_.file("esd-plugin"); }
  std::string calls_file() const { return dir_.file("wget-calls"); }
  void write_plugin(const std::string& content) const { write_file(plugin_file(), content); }
  const TempDir& dir() const { return dir_; }

  // One entry per run of wget: its arguments joined by '|', each
  // "--config=FILE" as "--config=WGETRC" (the file's name differs by run).
  std::vector<std::string> calls() const {
    std::vector<std::string> out;
    for (const std::string& line : raw_calls()) out.push_back(std::regex_replace(line, kConfig, "--config=WGETRC|"));
    return out;
  }
  // The same with the arguments as wget got them.
  std::vector<std::string> raw_calls() const { return lines(calls_file()); }

  // Each startup file wget was pointed at: "FILE|MODE|CONTENT", the content's
  // line ends as ';'.
  std::vector<std::string> wgetrcs() const { return lines(dir_.file("wgetrcs")); }

 private:
  static std::vector<std::string> lines(const std::string& file) {
    std::vector<std::string> out;
    std::istringstream in(read_file(file));
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
  }

  inline static const std::regex kConfig{"--config=[^|]*\\|"};
  TempDir dir_;
};

}  // namespace testsupport

#endif  // VORBEL_GATEWAY_FIXTURE_H
