// Runs the demo program in a process of its own, as a user runs it, and
// collects everything it prints (standard output and error together).
#ifndef VORBEL_DEMO_PROCESS_H
#define VORBEL_DEMO_PROCESS_H

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

extern char** environ;

namespace testsupport {

class DemoProcess {
 public:
  // Starts `program` with `args`; `env` entries ("NAME=value") are added to
  // the test's environment.
  DemoProcess(const std::string& program, const std::vector<std::string>& args,
              const std::vector<std::string>& env = {}) {
    int fds[2];
    if (pipe(fds) != 0) return;
    std::vector<std::string> argv_s{program};
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    std::vector<std::string> env_s;
    for (char** e = environ; *e; ++e) env_s.push_back(*e);
    env_s.insert(env_s.end(), env.begin(), env.end());
    std::vector<char*> argv, envp;
    for (auto& a : argv_s) argv.push_back(a.data());
    for (auto& e : env_s) envp.push_back(e.data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      dup2(fds[1], 1);
      dup2(fds[1], 2);
      close(fds[0]);
      close(fds[1]);
      execve(program.c_str(), argv.data(), envp.data());
      _exit(127);
    }
    close(fds[1]);
    out_ = fds[0];
  }
  ~DemoProcess() {
    if (pid_ > 0 && !reaped_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) close(out_);
  }
  DemoProcess(const DemoProcess&) = delete;
  DemoProcess& operator=(const DemoProcess&) = delete;

  bool started() const { return pid_ > 0 && out_ >= 0; }
  const std::string& output() const { return output_; }

  // Reads until `text` has been printed; false after `timeout_s` or at the
  // end of the output.
  bool wait_for(const std::string& text, double timeout_s) {
    const auto until = clock::now() + seconds(timeout_s);
    while (output_.find(text) == std::string::npos) {
      if (!read_some(until)) return false;
    }
    return true;
  }

  void signal(int sig) { kill(pid_, sig); }

  // Reads to the end of the output and waits for the exit: the exit code,
  // or -1 when the program was killed after `timeout_s` or by a signal.
  int finish(double timeout_s) {
    const auto until = clock::now() + seconds(timeout_s);
    while (read_some(until)) {
    }
    if (clock::now() >= until) kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
    reaped_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  using clock = std::chrono::steady_clock;
  static clock::duration seconds(double s) {
    return std::chrono::duration_cast<clock::duration>(std::chrono::duration<double>(s));
  }
  // False at the end of the output or at `until`.
  bool read_some(clock::time_point until) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - clock::now()).count();
    if (left <= 0) return false;
    pollfd p{out_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) return false;
    char buf[4096];
    const ssize_t n = read(out_, buf, sizeof buf);
    if (n <= 0) return false;
    output_.append(buf, static_cast<size_t>(n));
    return true;
  }

  pid_t pid_ = -1;
  int out_ = -1;
  bool reaped_ = false;
  std::string output_;
};

}  // namespace testsupport

#endif  // VORBEL_DEMO_PROCESS_H
