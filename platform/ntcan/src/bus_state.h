// Internal state of the simulated CAN driver, shared by the driver calls
// (driver_calls.cpp) and the control interface (sim_control.cpp).
//
// One mutex guards everything. Driver calls hold it only for their own work;
// participant callbacks always run after it has been released.
#ifndef NTCAN_BUS_STATE_H
#define NTCAN_BUS_STATE_H

#include <array>
#include <bitset>
#include <condition_variable>
#include <cstdio>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "frame_queue.h"
#include "ntcan.h"
#include "ntcan_sim.h"

namespace ntcan_sim::detail {

constexpr std::size_t kClosedHistory = 1024;  // closed handles handle_info knows
constexpr int kNoNet = kNetCount;             // counter slot of calls without a net

struct Handle {
  NTCAN_HANDLE number = NTCAN_NO_HANDLE;
  int net = 0;
  bool open = true;
  std::optional<uint32_t> baud;
  std::bitset<kMaxId + 1> filter;
  int32_t rx_timeout_ms = 0;
  int32_t tx_timeout_ms = 0;

  ntcan_queue::FrameQueue queue;  // allocated once at open

  int readers = 0;              // threads waiting in canRead
  std::condition_variable readable;
};

struct Participant {
  int id = 0;
  int net = 0;
  std::string name;
  FrameCallback on_frame;
  int in_flight = 0;                  // callbacks running now (lock held)
  bool detached = false;              // no new callbacks (lock held)
};

// A fault on one net and call: let `skip` calls through, then fail
// `remaining` calls (-1: until cleared) with `status`.
struct Fault {
  NTCAN_RESULT status = NTCAN_SUCCESS;
  int skip = 0;
  int remaining = 0;
};

// Sees every frame put on a net, called under the lock as the frame goes on
// the net (the socketcand server). Must not block or call the driver.
class NetObserver {
 public:
  virtual void frame_on_net(int net, const CMSG& m, int64_t time_us, const std::string& from_participant) = 0;

 protected:
  ~NetObserver() = default;
};

struct Net {
  std::vector<Handle*> handles;  // open handles in the order they were opened
  std::vector<std::shared_ptr<Participant>> participants;
  std::array<Fault, kCallCount> faults{};
  uint32_t board_status = 0;
};

struct State {
  std::mutex mu;
  std::condition_variable callbacks_done;  // some participant's in_flight fell to 0

  NTCAN_HANDLE next_handle = 1;  // never rewound, not even by reset()
  bool reuse_handles = false;    // canOpen takes the lowest free number
  NTCAN_HANDLE highest_issued = 0;
  uint64_t closed_handle_calls = 0;
  std::unordered_map<NTCAN_HANDLE, std::shared_ptr<Handle>> open;
  std::deque<HandleInfo> closed;  // newest at the back
  std::array<Net, kNetCount> nets;
  int next_participant = 1;

  std::deque<TraceEntry> trace;
  bool trace_enabled = true;
  std::size_t trace_capacity = kDefaultTraceCapacity;
  uint64_t trace_dropped = 0;
  uint64_t seq = 0;
  std::FILE* trace_file = nullptr;  // candump log being written, or none
  bool trace_file_ok = true;        // no write to it has failed

  NetObserver* observer = nullptr;  // none unless the nets are served

  double time_scale = 1.0;
  std::array<std::array<uint64_t, kNetCount + 1>, kCallCount> counts{};
};

// The process-wide simulation. Deliberately leaked: detached threads of the
// library may still call the driver while static objects are destroyed at
// exit, so the state must outlive them all.
State& state();

inline bool valid_net(int net) { return net >= 0 && net < kNetCount; }

inline bool valid_frame(const CMSG& m) {
  return m.id >= 0 && m.id <= kMaxId && (m.len & NTCAN_DLC_MASK) <= 8;
}

// Counts one call of `call` on `net` (kNoNet if unknown). Lock held.
inline void count_call(State& s, Call call, int net) {
  ++s.counts[static_cast<int>(call)][valid_net(net) ? net : kNoNet];
}

// Consumes one call of the fault on net/call; returns its status or
// NTCAN_SUCCESS when the call goes through. Lock held.
NTCAN_RESULT take_fault(State& s, int net, Call call);

// Snapshot of a handle for the control interface. Lock held.
HandleInfo info_of(const Handle& h);

// Participant callbacks owed after a frame batch was put on a net. Built
// under the lock; run() must be called after releasing it.
class Dispatch {
 public:
  // Calls every target for every frame, in order. A Dispatch started from
  // inside a callback (a participant answering) is queued on the thread and
  // run by the outermost run() once the current frame has been seen by all,
  // so every participant sees the frames of one thread in bus order.
  void run() noexcept;

 private:
  void run_now();
  friend Dispatch put_on_net(State&, int, const CMSG*, int32_t, NTCAN_HANDLE,
                             const std::string&);
  std::vector<std::shared_ptr<Participant>> targets_;
  std::vector<BusFrame> frames_;
};

// Puts `n` checked frames on `net` from a handle (participant empty) or a
// participant (handle NTCAN_NO_HANDLE): queues copies on the other handles
// whose filter matches, records the trace, and returns the participant
// callbacks to run once the lock is released. Lock held.
Dispatch put_on_net(State& s, int net, const CMSG* frames, int32_t n,
                    NTCAN_HANDLE from_handle, const std::string& from_participant);

// Appends one line to the trace file (trace_file.cpp). Lock held and
// s.trace_file not null.
void write_trace_file(State& s, const TraceEntry& e);

// Closes every open handle, as canClose would. Lock held.
void release_all(State& s);

// The participant whose callback the calling thread is running, or 0.
int current_callback();

}  // namespace ntcan_sim::detail

#endif  // NTCAN_BUS_STATE_H
