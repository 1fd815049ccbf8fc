// The simulated driver's socketcand server in a process of its own
// (tests/socketcand/sim_server.cpp), steered through its standard input.
#ifndef VORBEL_SERVER_PROCESS_H
#define VORBEL_SERVER_PROCESS_H

#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "child_process.h"

namespace testsupport {

class ServerProcess {
 public:
  // Starts `program` with `args` and waits for its "port N" line.
  ServerProcess(const std::string& program, const std::vector<std::string>& args) : child_(program, args) {
    const std::string first = child_.line();
    if (first.rfind("port ", 0) != 0) throw std::runtime_error("server: " + first);
    port_ = static_cast<uint16_t>(std::atoi(first.c_str() + 5));
  }

  uint16_t port() const { return port_; }
  // Sends a command line and returns the server's one-line answer.
  std::string command(const std::string& text) {
    child_.send(text);
    return child_.line();
  }

 private:
  ChildProcess child_;
  uint16_t port_ = 0;
};

}  // namespace testsupport

#endif  // VORBEL_SERVER_PROCESS_H
