// The trace file: every frame put on a net, as a candump log line.
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bus_state.h"

namespace ntcan_sim {

using namespace detail;

namespace {

// Closes the file; false when a write failed or the close did. Lock held.
bool close_locked(State& s) {
  if (!s.trace_file) return true;
  bool ok = s.trace_file_ok;
  if (std::fclose(s.trace_file) != 0) ok = false;
  s.trace_file = nullptr;
  s.trace_file_ok = true;
  return ok;
}

// A normal exit writes out what is still buffered. Detached threads may
// still put frames on a net at that moment; they find the file gone.
void close_at_exit() {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  close_locked(s);
}

// NTCAN_SIM_TRACE_FILE starts a trace file as soon as the driver is loaded.
struct TraceFileFromEnvironment {
  TraceFileFromEnvironment() {
    const char* path = std::getenv("NTCAN_SIM_TRACE_FILE");
    if (!path || !*path) return;
    if (!start_trace_file(path, true)) {
      std::fprintf(stderr, "ntcan_sim: cannot write the trace file '%s' named by NTCAN_SIM_TRACE_FILE: %s\n",
                   path, std::strerror(errno));
    }
  }
};
const TraceFileFromEnvironment trace_file_from_environment;

}  // namespace

std::string candump_line(const TraceEntry& entry) {
  const CMSG& m = entry.frame.msg;
  const int64_t seconds = entry.time_us / 1000000;
  const int64_t micros = entry.time_us % 1000000;
  char line[64];
  int at = std::snprintf(line, sizeof line, "(%010" PRId64 ".%06" PRId64 ") can%d %03X#", seconds, micros,
                         entry.frame.net, static_cast<unsigned>(m.id));
  const int length = m.len & NTCAN_DLC_MASK;
  if (m.len & NTCAN_RTR) {
    at += std::snprintf(line + at, sizeof line - static_cast<std::size_t>(at), length > 0 ? "R%d" : "R", length);
  } else {
    for (int k = 0; k < length && k < 8; ++k) {
      at += std::snprintf(line + at, sizeof line - static_cast<std::size_t>(at), "%02X", m.data[k]);
    }
  }
  return std::string(line, static_cast<std::size_t>(at));
}

bool start_trace_file(const std::string& path, bool append) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  close_locked(s);
  std::FILE* f = std::fopen(path.c_str(), append ? "a" : "w");
  if (!f) return false;
  static const bool close_registered = std::atexit(close_at_exit) == 0;
  (void)close_registered;
  s.trace_file = f;
  s.trace_file_ok = true;
  return true;
}

bool stop_trace_file() {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  return close_locked(s);
}

namespace detail {

void write_trace_file(State& s, const TraceEntry& e) {
  const std::string line = candump_line(e);
  if (std::fprintf(s.trace_file, "%s\n", line.c_str()) < 0) s.trace_file_ok = false;
}

}  // namespace detail

}  // namespace ntcan_sim
