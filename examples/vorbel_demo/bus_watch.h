// The demo's view of its simulated CAN nets with bus timing on: each line's
// bus load, and each SDO transfer's duration on the bus, as a bus analyser
// beside the nets would show them.
#ifndef VORBEL_DEMO_BUS_WATCH_H
#define VORBEL_DEMO_BUS_WATCH_H

#include <array>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "display.h"
#include "ntcan.h"

namespace demo {

class BusWatch {
 public:
  // Watches nets 0 .. nets-1 (lines 1 .. nets).
  BusWatch(Display& display, int nets);
  ~BusWatch();
  BusWatch(const BusWatch&) = delete;
  BusWatch& operator=(const BusWatch&) = delete;

  // "line 1 125 kbit/s: load 1.40 %, 412 frames, 0 lost   line 2 ...": the load over
  // the last second, the frames carried and the frames lost in receive queues"
  std::string load_text() const;

 private:
  // One SDO transfer of a node, from its first request to its last answer.
  struct Transfer {
    bool active = false;
    bool upload = false;
    bool block = false;         // a block transfer: its segments carry no command
    bool last_request = false;  // a download's last request went out
    int index = 0;
    int frames = 0;
    int64_t start_us = 0;       // first bit of the first request
    uint64_t bits = 0;
  };
  void on_frame(int net, const CMSG& m);
  void report(int net, int node, Transfer& t, const char* end);

  Display& display_;
  const int nets_;
  std::vector<int> participants_;
  std::mutex mx_;
  std::vector<std::array<Transfer, 128>> transfers_;  // per net and node id
};

}  // namespace demo

#endif  // VORBEL_DEMO_BUS_WATCH_H
