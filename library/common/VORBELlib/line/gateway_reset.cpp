// Network gateway reset: the gateway address of a line from the gateway
// file, and the wget command that asks the gateway to reset itself.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "D_vorbel.h"
#include "line/line_log.h"

extern char** environ;

namespace {

constexpr size_t kAddressLength = 15;  // "ddd.ddd.ddd.ddd"
constexpr long kResetBoundMs = 60000;  // real time a reset command may take
constexpr long kFirstLookNs = 1000000;  // 1 ms to the first look at the command,
constexpr long kMaxLookNs = 16000000;   // doubling up to 16 ms between looks
constexpr char kGatewayUser[] = "telvoadm";
constexpr char kGatewayPassword[] = "pln5ktrow";

// The gateway file; the environment variable VORBEL_ESD_PLUGIN points the
// lookup at another file (tests, demos).
std::string gateway_file() {
  const char* path = std::getenv("VORBEL_ESD_PLUGIN");
  return path && *path ? path : "/etc/esd-plugin";
}

// The address taken from the gateway file must be a plain dotted IPv4
// address, three digits per part: nothing else ever reaches the command.
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

// "127.000.000.010" as "127.0.0.10": with its leading zeros wget and the C
// library would read "010" as octal 8 and reach another host.
std::string canonical_address(const std::string& ip) {
  std::string out;
  for (size_t part = 0; part < 4; ++part) {
    if (part > 0) out += '.';
    out += std::to_string(std::atoi(ip.substr(part * 4, 3).c_str()));
  }
  return out;
}

// The entry index of a "PeerName" line: the whole decimal number from
// position 9 on ("PeerName[12]" is entry 12); a line without a digit there
// counts as entry 0.
int entry_index(const std::string& line) {
  int index = 0;
  for (size_t k = 9; k < line.size() && std::isdigit(static_cast<unsigned char>(line[k])); ++k)
    index = index < 100000 ? index * 10 + (line[k] - '0') : index;
  return index;
}

// Real time a reset command may run: VORBEL_RESET_TIMEOUT_MS (tests), else
// a minute.
std::chrono::milliseconds reset_bound() {
  const char* text = std::getenv("VORBEL_RESET_TIMEOUT_MS");
  const long ms = text ? std::strtol(text, nullptr, 10) : 0;
  return std::chrono::milliseconds(ms > 0 ? ms : kResetBoundMs);
}

// wget's credentials for the gateway's form, in a startup file (wgetrc) of
// mode 0600 that wget is pointed at with --config: the password never
// stands on a command line, where every local user could read it. The file
// goes with the object, however the run ended.
class CredentialsFile {
 public:
  CredentialsFile() {
    const char* dir = std::getenv("TMPDIR");
    path_ = std::string(dir && *dir ? dir : "/tmp") + "/vorbel-wgetrc-XXXXXX";
    const int fd = mkostemp(&path_[0], O_CLOEXEC);  // created 0600, a name of its own
    if (fd < 0) {
      error_ = errno;
      path_.clear();
      return;
    }
    const std::string text = std::string("http_user = ") + kGatewayUser + "\nhttp_password = " + kGatewayPassword + "\n";
    if (fchmod(fd, S_IRUSR | S_IWUSR) != 0) {
      error_ = errno;
    } else {
      const ssize_t n = write(fd, text.data(), text.size());
      if (n != static_cast<ssize_t>(text.size())) error_ = n < 0 ? errno : ENOSPC;
    }
    if (close(fd) != 0 && error_ == 0) error_ = errno;
    if (error_ != 0) {
      unlink(path_.c_str());
      path_.clear();
    }
  }
  ~CredentialsFile() {
    if (!path_.empty()) unlink(path_.c_str());
  }
  CredentialsFile(const CredentialsFile&) = delete;
  CredentialsFile& operator=(const CredentialsFile&) = delete;

  // Empty when the file could not be written; error() then tells why.
  const std::string& path() const { return path_; }
  int error() const { return error_; }

 private:
  std::string path_;
  int error_ = 0;
};

enum class Outcome { Ended, TimedOut, Stopped, NotStarted };

// Runs argv[0], found on PATH, with the arguments as they are (no shell),
// and waits for it: at most `bound` of real time and no longer than `stop`
// stays false; a command still running then is killed. The process's signal
// handling is left alone; the command starts with default handling of the
// signals that end it.
Outcome run_bounded(char* const argv[], std::chrono::milliseconds bound, const std::atomic<bool>& stop,
                    int* error) {
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, ending;
  sigemptyset(&none);
  sigemptyset(&ending);
  for (int sig : {SIGHUP, SIGINT, SIGQUIT, SIGPIPE, SIGTERM}) sigaddset(&ending, sig);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &ending);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t pid = -1;
  *error = posix_spawnp(&pid, argv[0], nullptr, &attr, argv, environ);
  posix_spawnattr_destroy(&attr);
  if (*error != 0) return Outcome::NotStarted;

  const auto deadline = std::chrono::steady_clock::now() + bound;
  for (long pause_ns = kFirstLookNs;; pause_ns = pause_ns < kMaxLookNs ? pause_ns * 2 : kMaxLookNs) {
    int status = 0;
    const pid_t r = waitpid(pid, &status, WNOHANG);
    // Ended, or reaped elsewhere (SIGCHLD ignored by the server).
    if (r == pid || (r < 0 && errno != EINTR)) return Outcome::Ended;
    const bool stopping = stop.load();
    if (stopping || std::chrono::steady_clock::now() >= deadline) {
      kill(pid, SIGKILL);
      while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      return stopping ? Outcome::Stopped : Outcome::TimedOut;
    }
    const timespec pause{0, pause_ns};
    nanosleep(&pause, nullptr);
  }
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
    // An entry: "PeerName", the entry index from position 9 on, a double
    // quote followed by the address. Lines too short for the index are
    // passed over.
    if (line.size() < 10 || line.compare(0, 8, "PeerName") != 0) continue;
    if (entry_index(line) != lineno - 1) continue;
    const size_t quote = line.find('"');
    if (quote == std::string::npos) continue;
    ip = line.substr(quote + 1, kAddressLength);
    break;
  }
  std::free(buf);
  std::fclose(f);
  return is_gateway_address(ip) ? 0 : -1;
}

// Posts "FWUpdReset=1" to the gateway's form as the command
//   wget --post-data="FWUpdReset=1" http://telvoadm:<password>@<address>/Forms/Firmware
// would, but with its arguments passed to wget directly, the address in
// canonical form and the user name and password in a private startup file
// instead of the URL. The gateway's answer and wget's exit status do not
// matter: the supervision thread goes on trying to reopen the line either way.
void canline::reset_line() {
  if (deny_wget_reset_ || !is_gateway_address(line_ip_)) return;
  const std::string form = canonical_address(line_ip_) + "/Forms/Firmware";
  const auto bound = reset_bound();
  const CredentialsFile credentials;
  if (credentials.path().empty()) {
    vorbel::log("canline::reset_line", std::string("cannot write wget's credentials: ") + std::strerror(credentials.error()));
  } else {
    std::string program = "wget", post = "--post-data=FWUpdReset=1", config = "--config=" + credentials.path(),
                url = "http://" + form;
    char* const argv[] = {&program[0], &post[0], &config[0], &url[0], nullptr};
    int error = 0;
    switch (run_bounded(argv, bound, ThreadStop_, &error)) {
      case Outcome::Stopped: return;  // the line's supervision is ending
      case Outcome::NotStarted:
        vorbel::log("canline::reset_line", std::string("cannot run wget: ") + std::strerror(error));
        break;
      case Outcome::TimedOut:
        vorbel::log("canline::reset_line", "wget still running after " + std::to_string(bound.count()) + " ms: killed");
        break;
      case Outcome::Ended: break;
    }
  }
  // The log never shows the gateway's password.
  if (!reset_first_.exchange(true))
    vorbel::log("system called with : ", std::string("wget --post-data=\"FWUpdReset=1\" http://") + kGatewayUser + ":***@" + form);
}
