// ntcan_sim.h - control interface of the simulated CAN driver.
//
// Tests, the demo and device-code tests use these functions to steer the
// virtual CAN nets behind ntcan.h: attach simulated devices to a net, inject
// frames, read the trace of what went over each net, make driver calls fail,
// and look at the state the driver holds (handles, filters, baud rates,
// queues, call counts).
//
// Everything here is thread-safe and may be called while other threads use
// the driver. Misuse of the control interface itself (a net outside 0..19, a
// bad frame to inject, a success status as a fault) throws
// std::invalid_argument; driver calls never throw.
#ifndef NTCAN_SIM_H
#define NTCAN_SIM_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "ntcan.h"

namespace ntcan_sim {

constexpr int kNetCount = 20;             // nets 0 .. kNetCount-1
constexpr int32_t kMaxQueueSize = 65536;  // largest receive queue canOpen accepts
constexpr int32_t kMaxId = 0x7FF;         // largest 11-bit identifier

// The driver calls, for fault injection and call counters.
enum class Call { Open, SetBaudrate, Close, Status, Send, Take, Read, IdAdd, IdDelete };
constexpr int kCallCount = 9;
NTCAN_EXPORT const char* call_name(Call call);  // "canOpen", "canSend", ...

// Puts the simulation back to its starting state: stops the socketcand
// server (stop_socketcand), closes every handle (a waiting canRead returns
// NTCAN_INVALID_HANDLE), detaches every participant
// (waiting for running callbacks), clears the trace, faults, counters and
// board status words, sets the time scale to 1 and turns the trace on with
// its default capacity. Handle numbering continues, so handles from before
// the reset stay invalid (unless handle reuse is on, which reset() keeps).
// Throws std::logic_error when called from a participant callback (it would
// wait for that callback).
NTCAN_EXPORT void reset();

// Handle numbers. By default canOpen hands out numbers never used before in
// the process, so a number kept after its close always fails with
// NTCAN_INVALID_HANDLE. With reuse on, canOpen takes the lowest number from
// 1 up that no open handle has, as file descriptors are given out: a number
// kept after its close may then name another handle, on any net. The
// environment variable NTCAN_SIM_REUSE_HANDLES=1 turns reuse on at load.
NTCAN_EXPORT void set_handle_reuse(bool on);
// Driver calls made since reset() on a number that was handed out and is
// not open at the time of the call (a use after close, or a second close).
// A call on a closed number that reuse has since given to another handle
// reaches that handle and is not counted here.
NTCAN_EXPORT uint64_t calls_on_closed_handles();

// ---------------------------------------------------------------------------
// Frames on a net and who sent them

struct BusFrame {
  int net = 0;
  CMSG msg{};                                // msg_lost and reserved are 0
  NTCAN_HANDLE handle = NTCAN_NO_HANDLE;     // sending handle, or none
  std::string participant;                   // sending participant/injector
                                             // name; empty if a handle sent it
  // "handle 7" or the participant name, for messages.
  NTCAN_EXPORT std::string sender() const;
};

// ---------------------------------------------------------------------------
// Bus participants: simulated devices on a net

using FrameCallback = std::function<void(const BusFrame&)>;

// Attaches a participant to a net and returns its id (greater than 0).
// on_frame sees every frame put on the net by handles, by injections and by
// other participants, but never the frames injected under its own name.
//
// The callback runs on the sending thread after the driver has released its
// lock, before the sending call returns; it may call any driver function or
// inject(). A frame it injects reaches the handles' queues at once (so an
// answer is waiting before the requester's canSend returns); the other
// participants see it after every participant has seen the current frame.
// Thus each participant sees the frames sent from one thread in bus order.
// For a canSend of several frames the callbacks follow once all of them are
// in the handles' queues. With bus timing on (see "Bus timing") a callback
// runs on the thread that delivers the frame at its end, and what it
// injects is queued for the bus. Callbacks must not throw (the process
// ends).
//
// Names must be unique per net (std::invalid_argument otherwise); the name is
// the sender recorded for the participant's injections.
NTCAN_EXPORT int attach(int net, std::string name, FrameCallback on_frame);

// Detaches a participant: no new callbacks start, and detach returns only
// after callbacks already running on other threads have ended. Calling it
// from the participant's own callback throws std::logic_error (it would
// wait for itself). Unknown ids are ignored.
NTCAN_EXPORT void detach(int participant);

// Puts a frame on a net as a participant named `from` would: it reaches the
// handles whose filter has its identifier, the trace and every participant
// of the net except the one called `from`. The frame must have an
// identifier 0..0x7FF and a data length of at most 8.
NTCAN_EXPORT void inject(int net, const CMSG& msg, const std::string& from = "test");

// Frame builders: a data frame with up to 8 bytes, and a remote request
// (NTCAN_RTR set) asking for rtr_len bytes.
NTCAN_EXPORT CMSG make_frame(int32_t id, std::initializer_list<uint8_t> data);
NTCAN_EXPORT CMSG make_rtr(int32_t id, uint8_t rtr_len = 0);

// ---------------------------------------------------------------------------
// Trace of the frames put on each net

struct TraceEntry {
  uint64_t seq = 0;      // 1, 2, 3 ... over all nets, restarted by reset()
  int64_t time_us = 0;   // wall clock, microseconds since the Unix epoch
  BusFrame frame;
};

constexpr std::size_t kDefaultTraceCapacity = 100000;

NTCAN_EXPORT std::vector<TraceEntry> trace();         // all nets, oldest first
NTCAN_EXPORT std::vector<TraceEntry> trace(int net);  // one net, oldest first
NTCAN_EXPORT void clear_trace();                      // also clears trace_dropped()
// When off, frames are not recorded (sequence numbers still advance).
NTCAN_EXPORT void set_trace_enabled(bool enabled);
// Keeps at most `entries` of the newest frames (at least 1); older ones are
// dropped and counted.
NTCAN_EXPORT void set_trace_capacity(std::size_t entries);
NTCAN_EXPORT uint64_t trace_dropped();

// ---------------------------------------------------------------------------
// Trace file: every frame put on any net, written as it is put there, one
// line per frame in the log format of can-utils' candump (candump -L), which
// CAN tools such as can-utils' canplayer/log2asc and python-can read:
//
//   (1700000000.123456) can0 605#4008100000000000
//   (1700000000.123789) can0 705#R
//   (1700000000.124001) can1 123#
//
// the time stamp (seconds.microseconds, wall clock, the same as the
// TraceEntry's), "can" and the net number, the identifier as three
// upper-case hex digits, '#', and the data bytes as upper-case hex pairs
// without separators; a remote request is "ID#R", or "ID#R<n>" when it asks
// for n > 0 bytes. The file is independent of the in-memory trace: it gets
// every frame whether that trace is enabled, full or cleared, and reset()
// leaves it open. Lines are buffered and written out when the file is
// stopped, replaced, or when the process exits normally.
//
// The environment variable NTCAN_SIM_TRACE_FILE, when set to a path as the
// driver is loaded, starts a trace file in append mode, so that the
// processes of a test suite add to one file. A file that cannot be opened
// is reported once on standard error.

// One trace entry as a candump log line, without the newline.
NTCAN_EXPORT std::string candump_line(const TraceEntry& entry);
// Writes every frame from now on to `path`, truncated first unless `append`.
// A file being written is stopped first. False, with no file being written,
// when `path` cannot be opened.
NTCAN_EXPORT bool start_trace_file(const std::string& path, bool append = false);
// Stops writing and closes the file. False when a line could not be written
// or the file not closed; true also when no file was being written.
NTCAN_EXPORT bool stop_trace_file();

// ---------------------------------------------------------------------------
// Fault injection
//
// A fault makes calls of one driver function on one net return a chosen
// status instead of doing their work. Only calls that passed the handle and
// argument checks meet the fault (and count towards it); a call on an
// unknown handle still returns NTCAN_INVALID_HANDLE. Setting a fault replaces
// the one before on the same net and call. What a failed call leaves behind:
//   canOpen        nothing is opened; *handle is NTCAN_NO_HANDLE
//   canSetBaudrate the handle keeps its earlier baud rate (or none)
//   canClose       the handle is released all the same
//   canStatus      *status is not written
//   canSend        nothing is sent; *len is 0
//   canTake        nothing is taken; *len is 0
//   canRead        nothing is taken and it does not wait; *len is 0
//   canIdAdd       the filter is unchanged
//   canIdDelete    the filter is unchanged

// The next `count` calls fail with `status` (not NTCAN_SUCCESS).
NTCAN_EXPORT void fail_next(int net, Call call, NTCAN_RESULT status, int count = 1);
// The next `good` calls succeed, then `count` calls fail with `status`.
NTCAN_EXPORT void fail_after(int net, Call call, int good, NTCAN_RESULT status,
                             int count = 1);
// Every call fails with `status` until the fault is cleared.
NTCAN_EXPORT void fail_until_cleared(int net, Call call, NTCAN_RESULT status);
NTCAN_EXPORT void clear_fault(int net, Call call);
NTCAN_EXPORT void clear_faults();  // all nets and calls

// The board status word canStatus reports for handles on `net` (0 at start).
NTCAN_EXPORT void set_board_status(int net, uint32_t status);

// ---------------------------------------------------------------------------
// Looking at the driver's state

// Calls made of one function on one net, successful or not. Calls whose net
// could not be told (unknown handle, net out of range) count only in the
// total over all nets.
NTCAN_EXPORT uint64_t calls(Call call, int net);
NTCAN_EXPORT uint64_t calls(Call call);

struct HandleInfo {
  NTCAN_HANDLE handle = NTCAN_NO_HANDLE;
  int net = 0;
  bool open = false;
  std::optional<uint32_t> baud;     // last code set with canSetBaudrate
  std::vector<int32_t> ids;         // enabled identifiers, ascending
  std::size_t queued = 0;           // frames waiting in the receive queue
  uint64_t dropped = 0;             // frames dropped on a full queue, ever
  int32_t rx_queue_size = 0;
  int32_t tx_queue_size = 0;        // as given to canOpen
  std::size_t tx_waiting = 0;       // frames queued for the net (bus timing)
  int32_t rx_timeout_ms = 0;
  int32_t tx_timeout_ms = 0;
};

// Handles open on a net, in the order they were opened.
NTCAN_EXPORT std::vector<NTCAN_HANDLE> handles(int net);
// State of an open handle, or of one of the last 1024 closed since reset()
// (open == false, queued 0); nullopt for any other number.
NTCAN_EXPORT std::optional<HandleInfo> handle_info(NTCAN_HANDLE handle);
// Shorthands of handle_info: none / empty / 0 for unknown handles.
NTCAN_EXPORT std::optional<uint32_t> baud_rate(NTCAN_HANDLE handle);
NTCAN_EXPORT std::vector<int32_t> enabled_ids(NTCAN_HANDLE handle);
NTCAN_EXPORT std::size_t queued(NTCAN_HANDLE handle);

// ---------------------------------------------------------------------------
// socketcand server: the nets on a TCP port
//
// Serves the nets to socketcand clients (python-can's "socketcand"
// interface, the socketcand NTCAN driver of this project, ...) in raw mode.
// A client is greeted with "< hi >", opens net N as "< open canN >", switches
// to "< rawmode >" and from then on
//   - receives every frame put on net N, "< frame ID SECONDS.MICROS DATA >",
//     with the time stamp of the trace, except the frames it sent itself;
//   - puts frames on net N with "< send ID LEN B0 B1 ... >": each one is
//     delivered as a device's frame is (handle filters, trace, participants,
//     the net's other clients), under the participant name
//     "socketcand client K".
// Several clients may share a net. The protocol has no remote frames: a
// remote frame on a net is not passed to clients (counted in
// remote_not_sent), and a client's remote request (a send whose length names
// bytes it does not carry, as python-can writes one) or extended frame is
// refused with "< error ... >" (counted in refused) instead of being changed
// into something else.
//
// Anyone who can reach the address can put frames on the simulated nets:
// there is no authentication. Serve on the loopback address (as the demo and
// ntcan_sim_server do) unless every user who can reach another address may
// do that.
//
// One thread owns the sockets. A client that does not read gets at most
// kSocketcandQueueBytes of frames queued; frames beyond that are dropped for
// that client and counted (frames_lost): a stalled client never holds up a
// net, and one whose queue stays full (from a frame dropped until it has
// drained to half the bound) for SocketcandLimits::stalled_client (2 s) is
// disconnected (closed_stalled). Garbage (text outside "< >", over-long
// messages, bad hex, unknown commands) is answered with "< error ... >"; the
// third error in a row closes the connection. At most 256 clients are
// served at once. A connection that has not switched to raw mode within
// SocketcandLimits::handshake (5 s) of its acceptance is closed
// (closed_idle), so idle connections cannot hold the slots; a connection
// made while all slots are taken waits, unanswered, until one is free and
// is then greeted at once. The server stops with stop_socketcand(), reset()
// and at exit.
//
// The environment variable NTCAN_SIM_SOCKETCAND=HOST:PORT, set when the
// driver is loaded, starts serving at once and names the port on standard
// error ("ntcan_sim: socketcand server on 127.0.0.1:29536").

constexpr std::size_t kSocketcandQueueBytes = 64 * 1024;

struct SocketcandStats {
  uint16_t port = 0;             // 0 when not serving
  std::size_t clients = 0;       // connected now
  uint64_t connections = 0;      // accepted since serving started
  uint64_t frames_in = 0;        // frames clients put on the nets
  uint64_t frames_out = 0;       // frames queued to clients
  uint64_t frames_lost = 0;      // frames dropped for a client whose queue was full
  uint64_t remote_not_sent = 0;  // remote frames not passed to a client (one per client)
  uint64_t refused = 0;          // remote requests and extended frames of clients, refused
  uint64_t errors = 0;           // garbage answered with "< error ... >"
  uint64_t closed_for_errors = 0;  // connections closed after repeated errors
  uint64_t closed_idle = 0;        // connections closed for want of a handshake in time
  uint64_t closed_stalled = 0;     // raw clients closed whose queue stayed full
};

// Time limits of the server's clients (real time).
struct SocketcandLimits {
  std::chrono::milliseconds handshake{5000};       // from acceptance to raw mode
  std::chrono::milliseconds stalled_client{2000};  // a raw client's queue full
};

// Serves the nets on `address`, "HOST:PORT" with a numeric IPv4 host
// (usually 127.0.0.1); port 0 picks a free port. Returns the port. A server
// already running is stopped first. Throws std::invalid_argument for a bad
// address and std::runtime_error when the port cannot be bound.
NTCAN_EXPORT uint16_t serve_socketcand(const std::string& address);
// The same with other time limits for the clients (both must be positive;
// std::invalid_argument otherwise).
NTCAN_EXPORT uint16_t serve_socketcand(const std::string& address, const SocketcandLimits& limits);
// Closes every client connection and the port, and ends the server thread.
// Does nothing when not serving.
NTCAN_EXPORT void stop_socketcand();
NTCAN_EXPORT SocketcandStats socketcand_stats();

// ---------------------------------------------------------------------------
// Time

// canRead waits receive time-out x scale (default 1). Tests shrink it, e.g.
// 0.01 turns a 1000 ms time-out into 10 ms. Must be finite and 0 or more.
// Applies to waits that start after the call. With bus timing on, the bus
// runs at the same pace: a frame of 111 us takes 1.11 us at 0.01 (a scale
// of 0 counts as 1e-6).
NTCAN_EXPORT void set_time_scale(double scale);
NTCAN_EXPORT double time_scale();

// ---------------------------------------------------------------------------
// Bus timing
//
// Off by default: a frame is on every receiving handle before its canSend
// returns, and participants see it on the sender's thread. On (with
// set_bus_timing, or NTCAN_SIM_BUS_TIMING=1 when the driver is loaded):
//   - each net carries one frame at a time. A frame occupies it for
//     frame_bits() bits at the net's baud rate (the last NTCAN_BAUD_* code
//     set by canSetBaudrate on any handle of the net; 125 kbit/s before).
//   - canSend and inject() queue their frames: per handle (at most its
//     transmit queue size, see canSend) and per participant name (at most
//     kMaxQueueSize frames; more are dropped and counted in tx_dropped).
//     Each sender's frames go out in its order.
//   - arbitration: when the net falls idle, of the first frames of all
//     senders that were queued by then, the lowest identifier goes first
//     (ties: the one queued first). A frame on the net is never displaced.
//   - a frame reaches the receiving handles, the trace, the socketcand
//     clients and the participants when its last bit (end of frame and
//     intermission included) is on the net; that moment is its trace time
//     stamp. A participant that answers at once has its answer queued at
//     that same bus time, so a request and its answer follow each other
//     without a gap.
//   - bus time follows the driver's clock: real time x time_scale(), or the
//     BusClock installed with set_bus_clock (a manual clock in tests). With
//     the driver's clock a thread of the driver delivers each frame at its
//     time and wakes waiting canRead calls; with a BusClock frames are
//     delivered when bus_clock_moved() is called and by every driver call.
// reset() empties the transmit queues and the net's counters and puts the
// nets back to 125 kbit/s; it keeps timing on or off and keeps the clock.
// Switching timing off delivers the frames still queued at once.

NTCAN_EXPORT void set_bus_timing(bool on);
NTCAN_EXPORT bool bus_timing();

// Bits of one frame on the bus (11-bit identifier, data or remote frame,
// 0 to 8 bytes): start of frame to the end of the CRC with the stuff bits of
// this frame's own bit pattern (CRC-15 computed over it), then CRC
// delimiter, acknowledge slot and delimiter, 7 bits end of frame and 3 bits
// intermission. 8 data bytes: 111 bits unstuffed, at most 135.
NTCAN_EXPORT uint32_t frame_bits(const CMSG& msg);
// Length of one bit at an NTCAN_BAUD_* code in nanoseconds (8000 at
// NTCAN_BAUD_125); 0 for any other code.
NTCAN_EXPORT uint32_t bit_time_ns(uint32_t baud);

// The clock of bus time, for tests that move time themselves. now_us() is
// called with the driver's lock held and must not call the driver;
// wait_until_us() is called without it.
class BusClock {
 public:
  virtual ~BusClock() = default;
  // Microseconds (any epoch; the trace shows them as time stamps).
  virtual int64_t now_us() = 0;
  // canRead with an empty queue waits for bus time until_us (its time-out,
  // or the next delivery before it). A clock that lets the calling thread
  // move time moves it forward, at most to until_us, stopping where
  // anything else is due on the clock, calls bus_clock_moved() and returns
  // true; canRead then looks again. Otherwise it returns false, and canRead
  // waits until a frame arrives or another thread moves the clock past its
  // time-out (reporting it with bus_clock_moved()).
  virtual bool wait_until_us(int64_t until_us) = 0;
};
// Installs the clock of bus time (nullptr: the driver's own clock again).
// With a BusClock, canRead time-outs are counted on it (time_scale() does
// not apply). The clock must outlive its use. Frames queued at the switch
// keep their times of the old clock: switch clocks while none waits.
NTCAN_EXPORT void set_bus_clock(BusClock* clock);
// The BusClock moved: delivers every frame whose last bit is on the bus by
// its now_us(), in bus order (running participant callbacks on the calling
// thread), and lets waiting canRead calls see the new time.
NTCAN_EXPORT void bus_clock_moved();
// Bus time now, in microseconds; in a participant callback with timing on,
// the end of the frame being delivered (its trace time stamp).
NTCAN_EXPORT int64_t bus_time_us();
// The bus time of the next delivery on any net (the end of the frame on
// the net, or of the frame that would win when the net falls idle), rounded
// up to a microsecond; -1 when no frame waits.
NTCAN_EXPORT int64_t next_bus_event_us();

// Counters of one net since reset(). Frames and receive losses are counted
// with timing on or off; bits and load only with timing on.
struct BusStats {
  uint32_t baud = NTCAN_BAUD_125;  // the net's baud-rate code
  uint64_t frames = 0;      // frames carried
  uint64_t bits = 0;        // their bits (frame_bits)
  double load = 0;          // share of the last second of bus time the net was busy, 0..1
  uint64_t rx_lost = 0;     // frames dropped by full receive queues of the net's handles
  uint64_t tx_refused = 0;  // frames canSend refused for a full transmit queue
  uint64_t tx_dropped = 0;  // frames of participants dropped for a full queue
  std::size_t waiting = 0;  // frames queued for the net now
};
NTCAN_EXPORT BusStats bus_stats(int net);

}  // namespace ntcan_sim

#endif  // NTCAN_SIM_H
