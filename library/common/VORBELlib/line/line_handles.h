// The handles a line has opened since it was last closed. Internal to the
// library.
#ifndef VORBEL_LINE_HANDLES_H
#define VORBEL_LINE_HANDLES_H

#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "D_vorbel.h"
#include "line/openings.h"

namespace vorbel {

// Everything under `mx`, which is held only for a few instructions: never
// across a driver call.
struct LineHandles {
  std::mutex mx;
  OpeningRef own = 0;               // the line's own handle
  std::vector<OpeningRef> nodes;    // the node handles opened on the line
  uint64_t closes = 0;              // closes of the line
  bool shut = false;                // closed for good by canline_shutdown
  std::condition_variable created;  // the creating open ended (canline::creating_)
};

// The line's SYNC producer (line_events.cpp), under its own lock: starting
// and stopping a producer may wait for a SYNC being sent.
struct LineSync {
  std::mutex mx;
  std::unique_ptr<SyncProducer> producer;
  SyncSettings settings;
  bool wanted = false;  // started and not stopped: runs while the line is open
};

}  // namespace vorbel

#endif  // VORBEL_LINE_HANDLES_H
