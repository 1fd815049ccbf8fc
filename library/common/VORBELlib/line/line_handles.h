// The handles a line has opened since it was last closed. Internal to the
// library.
#ifndef VORBEL_LINE_HANDLES_H
#define VORBEL_LINE_HANDLES_H

#include <shared_mutex>
#include <vector>

#include "D_vorbel.h"

namespace vorbel {

// Shared: one driver call on a handle of the line (the handle stays listed,
// and open, until the call is done). Exclusive: opening a handle into the
// list, closing one, closing the line.
struct LineHandles {
  struct Entry {
    NTCAN_HANDLE handle = -1;
    uint32_t serial = 0;  // 0: a free slot
  };

  std::shared_mutex mx;
  std::vector<Entry> open;  // by slot
  uint32_t last_serial = 0;
  uint64_t closes = 0;  // closes of the line
  bool shut = false;    // closed for good by canline_shutdown

  bool lists(NTCAN_HANDLE h, const HandleTicket& t) const {
    return t.serial != 0 && t.slot < open.size() && open[t.slot].serial == t.serial && open[t.slot].handle == h;
  }
  HandleTicket keep(NTCAN_HANDLE h) {
    size_t slot = 0;
    while (slot < open.size() && open[slot].serial != 0) ++slot;
    if (slot == open.size()) open.emplace_back();
    if (++last_serial == 0) ++last_serial;
    open[slot] = Entry{h, last_serial};
    return HandleTicket{static_cast<uint32_t>(slot), last_serial};
  }
  void forget(const HandleTicket& t) { open[t.slot].serial = 0; }
  void forget_all() {
    for (Entry& e : open) e.serial = 0;
    ++closes;
  }
};

}  // namespace vorbel

#endif  // VORBEL_LINE_HANDLES_H
