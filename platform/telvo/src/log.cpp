#include "telvo_log.h"

#include <cstdio>
#include <ctime>

#include "log_place.h"
#include "telvo.h"

std::atomic<unsigned long> TELVO_debug{0};

namespace telvo {
namespace {

struct LogState {
  std::mutex mx;
  LogSink sink;
};

LogState& log_state() {
  static LogState* s = new LogState;  // used by threads until the process ends
  return *s;
}

thread_local std::string t_place;

}  // namespace

LogPlace::LogPlace(std::string place) : outer_(std::move(t_place)) { t_place = std::move(place); }
LogPlace::~LogPlace() { t_place = std::move(outer_); }

std::string format_log_line(const LogEntry& e) {
  char stamp[32];
  time_t t = static_cast<time_t>(e.time);
  tm parts{};
  gmtime_r(&t, &parts);
  if (strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &parts) == 0) stamp[0] = '\0';
  return std::string(stamp) + "  " + e.origin + "  " + e.text;
}

void set_log_sink(LogSink sink) {
  LogState& s = log_state();
  std::lock_guard<std::mutex> lk(s.mx);
  s.sink = std::move(sink);
}

// The sink runs under the log lock, so a capture that is being removed is
// never called afterwards.
void printtostderr(const std::string& origin, const std::string& text, uint32_t level) {
  LogEntry e{origin, t_place.empty() ? text : t_place + ": " + text, level, TELVOtime()};
  LogState& s = log_state();
  std::lock_guard<std::mutex> lk(s.mx);
  if (s.sink) {
    s.sink(e);
  } else {
    std::string line = format_log_line(e);
    std::fprintf(stderr, "%s\n", line.c_str());
  }
}

LogCapture::LogCapture(bool echo) : echo_(echo) {
  set_log_sink([this](const LogEntry& e) {
    if (echo_) std::fprintf(stderr, "%s\n", format_log_line(e).c_str());
    std::lock_guard<std::mutex> lk(mx_);
    entries_.push_back(e);
  });
}

LogCapture::~LogCapture() { set_log_sink(nullptr); }

std::vector<LogEntry> LogCapture::entries() {
  std::lock_guard<std::mutex> lk(mx_);
  return entries_;
}

size_t LogCapture::count(const std::string& origin) {
  std::lock_guard<std::mutex> lk(mx_);
  size_t n = 0;
  for (const auto& e : entries_) n += e.origin == origin;
  return n;
}

size_t LogCapture::count(const std::string& origin, const std::string& text) {
  std::lock_guard<std::mutex> lk(mx_);
  size_t n = 0;
  for (const auto& e : entries_) n += e.origin == origin && e.text == text;
  return n;
}

std::vector<std::string> LogCapture::texts(const std::string& origin) {
  std::lock_guard<std::mutex> lk(mx_);
  std::vector<std::string> out;
  for (const auto& e : entries_)
    if (e.origin == origin) out.push_back(e.text);
  return out;
}

void LogCapture::clear() {
  std::lock_guard<std::mutex> lk(mx_);
  entries_.clear();
}

}  // namespace telvo
