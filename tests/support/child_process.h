// A program run as a child process, spoken to line by line through its
// standard input and output. Its input closes (and the child is waited for)
// when the object goes; programs used this way end at the end of their input.
#ifndef VORBEL_CHILD_PROCESS_H
#define VORBEL_CHILD_PROCESS_H

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

namespace testsupport {

class ChildProcess {
 public:
  // Starts `program` (looked up on PATH when it has no '/') with `args`.
  ChildProcess(const std::string& program, const std::vector<std::string>& args) {
    // A child that has died fails the next ask() instead of killing the
    // caller with SIGPIPE.
    std::signal(SIGPIPE, SIG_IGN);
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    pid_ = fork();
    if (pid_ == 0) {
      dup2(in[0], STDIN_FILENO);
      dup2(out[1], STDOUT_FILENO);
      execvp(program.c_str(), argv.data());
      dprintf(STDOUT_FILENO, "cannot run %s\n", program.c_str());
      _exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    to_ = fdopen(in[1], "w");
    from_ = fdopen(out[0], "r");
    // Unbuffered, so that a second line that came with the first is still
    // there for poll() to see.
    std::setvbuf(from_, nullptr, _IONBF, 0);
  }
  ~ChildProcess() { wait(); }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Sends a line and returns the next line of its output.
  std::string ask(const std::string& text) {
    std::fprintf(to_, "%s\n", text.c_str());
    std::fflush(to_);
    return line();
  }
  // The next line of its output, without the line end; "(no answer)" when
  // its output ended or nothing came within timeout_ms.
  std::string line(int timeout_ms = 10000) {
    pollfd p{fileno(from_), POLLIN, 0};
    char buf[512];
    if (poll(&p, 1, timeout_ms) != 1 || !std::fgets(buf, sizeof buf, from_)) return "(no answer)";
    std::string s(buf);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    return s;
  }
  // Closes its input and waits for it to end; its exit status (-1 when it
  // did not exit normally).
  int wait() {
    if (to_) std::fclose(to_);
    to_ = nullptr;
    if (pid_ > 0 && waitpid(pid_, &status_, 0) == pid_) pid_ = -1;
    if (from_) std::fclose(from_);
    from_ = nullptr;
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
  }

 private:
  pid_t pid_ = -1;
  int status_ = 0;
  FILE* to_ = nullptr;
  FILE* from_ = nullptr;
};

// The port a server names in its first line, "port N"
// (examples/ntcan_sim_server); 0 when it names none.
inline uint16_t served_port(ChildProcess& server) {
  const std::string first = server.line();
  return first.rfind("port ", 0) == 0 ? static_cast<uint16_t>(std::atoi(first.c_str() + 5)) : 0;
}

}  // namespace testsupport

#endif  // VORBEL_CHILD_PROCESS_H
