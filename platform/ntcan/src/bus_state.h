// Internal state of the simulated CAN driver, shared by the driver calls
// (driver_calls.cpp) and the control interface (sim_control.cpp).
//
// One mutex guards everything. Driver calls hold it only for their own work;
// participant callbacks always run after it has been released.
#ifndef NTCAN_BUS_STATE_H
#define NTCAN_BUS_STATE_H

#include <array>
#include <bitset>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
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
  int32_t tx_queue_size = 0;

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

// A frame queued for a net with bus timing on.
struct Outgoing {
  CMSG msg{};
  NTCAN_HANDLE handle = NTCAN_NO_HANDLE;  // sending handle, or none
  std::string participant;                // sending participant, or empty
  int64_t queued_ns = 0;                  // bus time it was queued
  uint64_t order = 0;                     // queued before every higher number
  uint32_t bits = 0;                      // frame_bits(msg)
};

// Who queued a frame: a handle (name empty) or a participant (no handle).
using SenderKey = std::pair<NTCAN_HANDLE, std::string>;

constexpr uint32_t kDefaultBaud = NTCAN_BAUD_125;
constexpr int64_t kNever = INT64_MAX;

struct Net {
  std::vector<Handle*> handles;  // open handles in the order they were opened
  std::vector<std::shared_ptr<Participant>> participants;
  std::array<Fault, kCallCount> faults{};
  uint32_t board_status = 0;

  // Bus timing (bus_timing.cpp). Each sender's frames wait in its own
  // queue, in order; only the first of each takes part in arbitration.
  uint32_t baud = kDefaultBaud;
  int64_t bit_ns = 8000;
  std::map<SenderKey, std::deque<Outgoing>> senders;  // a handle's stays when empty
  std::size_t waiting = 0;                            // frames in senders
  std::optional<Outgoing> on_bus;                     // the frame being sent
  int64_t on_bus_start_ns = 0;
  int64_t on_bus_end_ns = 0;
  int64_t idle_from_ns = INT64_MIN;  // end of the last frame sent
  // The schedule, kept up to date by reschedule(): with no frame on the
  // bus, when the next one starts (the net idle and a frame waiting); and
  // when the next frame ends, the one on the bus or the one that would win
  // at that start. kNever when nothing waits.
  int64_t next_start_ns = kNever;
  int64_t next_end_ns = kNever;

  // Counters (bus_stats).
  uint64_t frames = 0;
  uint64_t bits = 0;
  uint64_t rx_lost = 0;
  uint64_t tx_refused = 0;
  uint64_t tx_dropped = 0;
  std::deque<std::pair<int64_t, int64_t>> recent;  // start and end of the frames of the last second
};

// Where bus time comes from: a BusClock, or real time x scale counted from
// a base that is moved whenever the scale changes.
struct BusTime {
  BusClock* clock = nullptr;
  double scale = 1.0;  // at least kMinBusScale
  int64_t base_ns = 0;
  std::chrono::steady_clock::time_point base_steady{};
};

struct State {
  std::mutex mu;
  std::condition_variable callbacks_done;  // some participant's in_flight fell to 0

  NTCAN_HANDLE next_handle = 1;  // never rewound, not even by reset()
  bool reuse_handles = false;    // canOpen takes the lowest free number
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

  // Bus timing (bus_timing.cpp).
  bool timing = false;
  BusTime bus_time;
  uint64_t next_order = 0;
  bool delivering = false;                // a thread runs catch_up
  std::condition_variable delivered;      // catch_up ended
  std::thread pump;                       // delivers on the driver's clock
  bool pump_stop = false;
  int64_t pump_wake_ns = kNever;          // bus time the pump sleeps until
  std::condition_variable pump_cv;
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
  bool empty() const { return targets_.empty(); }
  // Calls every target for every frame, in order. A Dispatch started from
  // inside a callback (a participant answering) is queued on the thread and
  // run by the outermost run() once the current frame has been seen by all,
  // so every participant sees the frames of one thread in bus order.
  void run() noexcept;

 private:
  void run_now();
  friend Dispatch put_on_net(State&, int, const CMSG*, int32_t, NTCAN_HANDLE,
                             const std::string&, int64_t);
  std::vector<std::shared_ptr<Participant>> targets_;
  std::vector<BusFrame> frames_;
};

// Puts `n` checked frames on `net` from a handle (participant empty) or a
// participant (handle NTCAN_NO_HANDLE): queues copies on the other handles
// whose filter matches, records the trace with time stamp `time_us` (-1:
// now), and returns the participant callbacks to run once the lock is
// released. Lock held.
Dispatch put_on_net(State& s, int net, const CMSG* frames, int32_t n,
                    NTCAN_HANDLE from_handle, const std::string& from_participant,
                    int64_t time_us = -1);

// --- bus timing (bus_timing.cpp); lock held unless said otherwise -------

// Sets the bus clock's base and NTCAN_SIM_BUS_TIMING's setting (state()).
void init_bus_time(State& s);
// Bus time now, in nanoseconds.
int64_t bus_now_ns(State& s);
// Queues `n` checked frames of one sender for `net`, at most `room` frames
// waiting for that sender. Handles: false (nothing queued, counted as
// refused) when they do not fit. Participants: the frames beyond `room` are
// dropped and counted; true.
bool queue_for_bus(State& s, int net, const CMSG* frames, int32_t n, NTCAN_HANDLE from_handle,
                   const std::string& from_participant, std::size_t room);
// Delivers what is due by now on every net, in bus order, running the
// participant callbacks with the lock released. Does nothing when timing
// is off or another thread (or a callback of this one) is delivering.
void catch_up(State& s, std::unique_lock<std::mutex>& lock);
// Bus time in ns when the next frame on any net ends; kNever when none is
// on its way.
int64_t earliest_end(const State& s);
// Takes the simulation lock and catches up (what every driver call and
// every look at the state does first).
inline std::unique_lock<std::mutex> lock_current(State& s) {
  std::unique_lock<std::mutex> lock(s.mu);
  if (s.timing) catch_up(s, lock);
  return lock;
}
// The calling thread runs the participant callbacks of a delivery.
bool in_delivery();
// Frames the handle has queued: counted, or dropped (it is being closed).
std::size_t queued_by(const Net& net, NTCAN_HANDLE h);
void drop_queued(Net& net, NTCAN_HANDLE h);
// A handle set the net's baud-rate code.
void set_net_baud(State& s, Net& net, uint32_t baud);
// Time scale changed: bus time goes on from where it is.
void set_bus_scale(State& s, double scale);
// reset(): empty queues and counters, default baud rates.
void reset_buses(State& s);

// Appends one line to the trace file (trace_file.cpp). Lock held and
// s.trace_file not null.
void write_trace_file(State& s, const TraceEntry& e);

// Closes every open handle, as canClose would. Lock held.
void release_all(State& s);

// The participant whose callback the calling thread is running, or 0.
int current_callback();

}  // namespace ntcan_sim::detail

#endif  // NTCAN_BUS_STATE_H
