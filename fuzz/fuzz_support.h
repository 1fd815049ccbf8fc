// Helpers shared by the fuzz targets: a failed check that ends the run, a
// reader for the input bytes, a scratch directory, and the framework log
// kept in memory.
//
// Every target defines LLVMFuzzerTestOneInput. Built with clang and
// -fsanitize=fuzzer (fuzz/CMakeLists.txt) it is fuzzed; built with the normal
// compiler and tests/fuzz_corpus/corpus_main.cpp it replays a corpus as a
// test of the normal suite.
#ifndef VORBEL_FUZZ_SUPPORT_H
#define VORBEL_FUZZ_SUPPORT_H

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "telvo_log.h"

// A broken property: report it and end the process, so that the fuzzer
// keeps the input and the corpus test fails.
#define FUZZ_CHECK(cond, ...)                                                          \
  do {                                                                                 \
    if (!(cond)) {                                                                     \
      std::fprintf(stderr, "fuzz check failed at %s:%d: %s: ", __FILE__, __LINE__, #cond); \
      std::fprintf(stderr, __VA_ARGS__);                                               \
      std::fputc('\n', stderr);                                                        \
      std::abort();                                                                    \
    }                                                                                  \
  } while (0)

namespace fuzzsupport {

// Reads the input front to back; past its end every read yields 0.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : p_(data), n_(size) {}
  bool empty() const { return n_ == 0; }
  size_t left() const { return n_; }
  uint8_t byte() {
    if (n_ == 0) return 0;
    --n_;
    return *p_++;
  }
  uint16_t u16() {
    const uint16_t lo = byte();
    return static_cast<uint16_t>(lo | byte() << 8);
  }
  uint32_t u32() {
    const uint32_t lo = u16();
    return lo | static_cast<uint32_t>(u16()) << 16;
  }
  int32_t i32() { return static_cast<int32_t>(u32()); }
  void bytes(void* out, size_t n) {
    auto* o = static_cast<uint8_t*>(out);
    for (size_t i = 0; i < n; ++i) o[i] = byte();
  }
  std::string rest() {
    std::string s(reinterpret_cast<const char*>(p_), n_);
    p_ += n_;
    n_ = 0;
    return s;
  }

 private:
  const uint8_t* p_;
  size_t n_;
};

// A scratch directory for the whole run, removed at exit.
inline const std::string& scratch_dir() {
  static const std::string dir = [] {
    const char* base = std::getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/vorbel-fuzz-XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    FUZZ_CHECK(mkdtemp(buf.data()) != nullptr, "cannot create a scratch directory");
    static std::string made = buf.data();
    std::atexit([] {
      const std::string cmd = "rm -rf '" + made + "'";
      const int ignored = std::system(cmd.c_str());
      (void)ignored;
    });
    return made;
  }();
  return dir;
}

inline std::string scratch_file(const std::string& name) { return scratch_dir() + "/" + name; }

inline void write_file(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The framework log, kept in memory instead of going to standard error.
class Log {
 public:
  static Log& get() {
    static Log* log = new Log;  // used by library threads until the end
    return *log;
  }
  void clear() {
    std::lock_guard<std::mutex> lk(mx_);
    entries_.clear();
  }
  std::vector<std::string> texts(const std::string& origin) {
    std::lock_guard<std::mutex> lk(mx_);
    std::vector<std::string> out;
    for (const auto& e : entries_)
      if (e.origin == origin) out.push_back(e.text);
    return out;
  }

 private:
  Log() {
    telvo::set_log_sink([this](const telvo::LogEntry& e) {
      std::lock_guard<std::mutex> lk(mx_);
      if (entries_.size() < 10000) entries_.push_back(e);
    });
  }
  std::mutex mx_;
  std::vector<telvo::LogEntry> entries_;
};

// The NTCAN status codes a driver call may return.
inline bool is_driver_status(int s) {
  static const int kCodes[] = {0x0,   0x101, 0x102, 0x104, 0x105, 0x106, 0x107, 0x109, 0x10A,
                               0x10B, 0x10D, 0x10E, 0x16,  0x4D,  0x13,  0x10F, 0x110, 0x111,
                               0x112, 0x4,   0x113, 0xC,   0x180, 0x181, 0x182};
  for (int c : kCodes)
    if (c == s) return true;
  return false;
}

}  // namespace fuzzsupport

#endif  // VORBEL_FUZZ_SUPPORT_H
