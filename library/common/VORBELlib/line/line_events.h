// What happens around a line's close and reopen beside the handles: the
// SYNC producer pauses and resumes, nodes that asked for it are reattached,
// device code's notices are called. Internal to the library.
#ifndef VORBEL_LINE_EVENTS_H
#define VORBEL_LINE_EVENTS_H

#include <vector>

#include "D_vorbel.h"

namespace vorbel {

struct LineEvents {
  // On the line's supervision thread, no lock held, after it closed the line
  // and after it reopened it.
  static void closed(canline& line);
  static void reopened(canline& line);
  // canline_shutdown(): the lines' SYNC producers stop.
  static void shut(const std::vector<canline*>& lines);
  // Under D_can::mx_loop: a node leaves the list of those to reattach.
  static void forget(D_can& node);
  // The line's SYNC producer (canline_sync_start, _stop, _stats).
  static int sync_start(canline& line, const SyncSettings& settings);
  static int sync_stop(canline& line);
  static SyncStats sync_stats(canline& line);
};

// The line of number `lineno`, or null (line_registry.cpp).
canline* line_numbered(int lineno);

}  // namespace vorbel

#endif  // VORBEL_LINE_EVENTS_H
