// The trace of a simulated net as a frame table: "-> 605: 40 08 10 00 ..."
// for frames the library sent, "<- 585: 43 08 10 00 ..." for frames of the
// simulated devices, "-> 705: R" for remote requests.
#ifndef VORBEL_FRAME_TABLE_H
#define VORBEL_FRAME_TABLE_H

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "ntcan_sim.h"

namespace testsupport {

inline std::string frame_line(const ntcan_sim::BusFrame& f) {
  char head[16];
  std::snprintf(head, sizeof head, "%s %03X:", f.participant.empty() ? "->" : "<-", static_cast<unsigned>(f.msg.id));
  std::string line = head;
  if (f.msg.len & 0x10) return line + " R";
  for (int k = 0; k < (f.msg.len & 0x0F) && k < 8; ++k) {
    char b[4];
    std::snprintf(b, sizeof b, " %02X", f.msg.data[k]);
    line += b;
  }
  return line;
}

// Frames on `net` whose identifier passes `keep` (all by default).
inline std::vector<std::string> frame_table(int net, std::function<bool(int32_t)> keep = nullptr) {
  std::vector<std::string> out;
  for (const auto& e : ntcan_sim::trace(net))
    if (!keep || keep(e.frame.msg.id)) out.push_back(frame_line(e.frame));
  return out;
}

}  // namespace testsupport

#endif  // VORBEL_FRAME_TABLE_H
