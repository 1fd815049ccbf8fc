// Where the framework is while it logs on behalf of something else: the
// configuration loader names the entry a property is reading. Internal to the
// framework stand-in.
#ifndef TELVO_LOG_PLACE_H
#define TELVO_LOG_PLACE_H

#include <string>

namespace telvo {

// While it exists, every message logged on this thread begins with
// "<place>: ".
class LogPlace {
 public:
  explicit LogPlace(std::string place);
  ~LogPlace();
  LogPlace(const LogPlace&) = delete;
  LogPlace& operator=(const LogPlace&) = delete;

 private:
  std::string outer_;
};

}  // namespace telvo

#endif  // TELVO_LOG_PLACE_H
