// Messages of the CAN line layer. Internal to the library.
#ifndef VORBEL_LINE_LOG_H
#define VORBEL_LINE_LOG_H

#include <string>

#include "D_vorbel.h"

namespace vorbel {

constexpr uint32_t kLogLevel = 0x80000000;

// True once canline_shutdown() has closed the lines: the library logs
// nothing more.
bool shut_down();

inline void log(const std::string& origin, const std::string& text) {
  if (!shut_down()) telvo::printtostderr(origin, text, kLogLevel);
}

// Text of a driver status as the driver returned it (a signed 32-bit value,
// sign-extended so that -1 reads as 0xffffffffffffffff).
inline std::string status_text(int status) {
  return can_error_str(static_cast<unsigned long>(static_cast<long>(status)));
}

// "Line : 3mess: NTCAN_NET_NOT_FOUND(0x00000013)"
inline std::string line_status_text(int line, int status) {
  return "Line : " + std::to_string(line) + "mess: " + status_text(status);
}

}  // namespace vorbel

#endif  // VORBEL_LINE_LOG_H
