// Helpers shared by the test suites: scratch directories and files.
#ifndef VORBEL_TEST_SUPPORT_H
#define VORBEL_TEST_SUPPORT_H

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

// A scratch directory under $TMPDIR, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/vorbel-test-XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
    path_ = buf.data();
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  std::vector<std::string> entries() const {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(path_)) out.push_back(e.path().filename().string());
    return out;
  }

 private:
  std::string path_;
};

inline void write_file(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary);
  out << content;
}

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// Real milliseconds until `done` holds, looked at every millisecond, at
// most limit_ms: for what runs on real time (sockets, a driver's own
// time-outs).
template <class Pred>
long ms_until(Pred done, long limit_ms = 5000) {
  using namespace std::chrono;
  const auto t0 = steady_clock::now();
  while (!done() && steady_clock::now() - t0 < milliseconds(limit_ms)) std::this_thread::sleep_for(milliseconds(1));
  return static_cast<long>(duration_cast<milliseconds>(steady_clock::now() - t0).count());
}

}  // namespace testsupport

#endif  // VORBEL_TEST_SUPPORT_H
