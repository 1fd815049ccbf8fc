// The simulated driver's socketcand server in a process of its own
// (tests/socketcand/sim_server.cpp), steered through its standard input.
#ifndef VORBEL_SERVER_PROCESS_H
#define VORBEL_SERVER_PROCESS_H

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

namespace testsupport {

class ServerProcess {
 public:
  // Starts `program` with `args` and waits for its "port N" line.
  ServerProcess(const std::string& program, const std::vector<std::string>& args) {
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) throw std::runtime_error("pipe failed");
    pid_ = fork();
    if (pid_ == 0) {
      dup2(in[0], STDIN_FILENO);
      dup2(out[1], STDOUT_FILENO);
      ::close(in[1]);
      ::close(out[0]);
      std::vector<char*> argv{const_cast<char*>(program.c_str())};
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execv(program.c_str(), argv.data());
      _exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    to_ = fdopen(in[1], "w");
    from_ = fdopen(out[0], "r");
    const std::string first = line();
    if (first.rfind("port ", 0) != 0) throw std::runtime_error("server: " + first);
    port_ = static_cast<uint16_t>(std::atoi(first.c_str() + 5));
  }
  // Ends it: end of input, then waits for it.
  ~ServerProcess() {
    if (to_) std::fclose(to_);
    int status = 0;
    waitpid(pid_, &status, 0);
    if (from_) std::fclose(from_);
  }
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  uint16_t port() const { return port_; }
  // Sends a command line and returns the server's one-line answer.
  std::string command(const std::string& text) {
    std::fprintf(to_, "%s\n", text.c_str());
    std::fflush(to_);
    return line();
  }

 private:
  std::string line() {
    char buf[512];
    if (!std::fgets(buf, sizeof buf, from_)) return "(no answer)";
    std::string s(buf);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    return s;
  }
  pid_t pid_ = -1;
  FILE* to_ = nullptr;
  FILE* from_ = nullptr;
  uint16_t port_ = 0;
};

}  // namespace testsupport

#endif  // VORBEL_SERVER_PROCESS_H
