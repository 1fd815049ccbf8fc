// Capturing the framework log. telvo::printtostderr writes one time-stamped
// line per message to standard error; while a LogCapture exists, the
// messages are collected by it instead (and echoed only when asked).
#ifndef TELVO_LOG_H
#define TELVO_LOG_H

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace telvo {

struct LogEntry {
  std::string origin;
  std::string text;
  uint32_t level = 0;
  long time = 0;  // TELVOtime() when logged
};

// Receives every message while installed; replaces the standard-error output.
using LogSink = std::function<void(const LogEntry&)>;
// Install a sink (an empty function restores standard error).
void set_log_sink(LogSink sink);

// Collects the log while it exists. Only one capture at a time.
class LogCapture {
 public:
  explicit LogCapture(bool echo = false);
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<LogEntry> entries();
  // Messages with this origin (and text, when given).
  size_t count(const std::string& origin);
  size_t count(const std::string& origin, const std::string& text);
  // Texts of the messages with this origin, in order.
  std::vector<std::string> texts(const std::string& origin);
  void clear();

 private:
  std::mutex mx_;
  std::vector<LogEntry> entries_;
  bool echo_;
};

// Format one log line as standard error shows it.
std::string format_log_line(const LogEntry& e);

}  // namespace telvo

#endif  // TELVO_LOG_H
