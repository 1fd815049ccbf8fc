// libVORBEL: emergencies of CANopen nodes, decoded, and the node's error
// history. Included by D_vorbel.h.
//
// A node reports an error with an emergency frame on 0x080 + node id: the
// error code (bytes 0-1, low byte first), its error register 0x1001 (byte 2)
// and five bytes of its manufacturer's (bytes 3-7). It keeps the errors it
// reported in its pre-defined error field 0x1003. D_can::can_emergency logs
// the bytes of a node's first emergency in a batch; what is here lets device
// code act on each one: decode it, name it, queue it, read the history.
//
// Threads: the functions are pure or work through a node's SDO client (see
// its threading in D_vorbel.h); an EmergencyQueue may be used from any
// number of threads at once.
#ifndef VORBEL_EMERGENCY_H
#define VORBEL_EMERGENCY_H

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "D_vorbel.h"

namespace vorbel {

// One emergency of a node.
struct Emergency {
  int node_id = 0;               // 1..127: the frame's identifier less 0x080
  uint16_t error_code = 0;       // bytes 0-1
  uint8_t error_register = 0;    // byte 2: the node's 0x1001 when it sent the frame
  uint8_t manufacturer[5] = {};  // bytes 3-7
  // Data bytes the frame carried: 8 for every emergency as CANopen defines
  // it; the fields of bytes a shorter frame lacks read 0.
  uint8_t length = 0;
  // Framework time in ms (the clock of D_Alive::last_heard_ms) at which the
  // library took the frame from the driver; -1 when not known.
  long long taken_ms = -1;
};

// Decode `frame` into *out when it is an emergency: a data frame (no remote
// request) on 0x081..0x0FF. 0 when decoded, taken_ms stored as given; -1
// for any other frame (0x080 is SYNC, not an emergency); 22
// (NTCAN_INVALID_PARAMETER) for a null out. Nothing is stored unless 0.
int decode_emergency(const CMSG& frame, long long taken_ms, Emergency* out);

// The text of an error code by the classes of CiA 301, the most specific
// the code has: "error reset or no error" (0x00xx), "generic error"
// (0x1xxx), "current" (0x2xxx; 0x21xx "current, device input side", 0x22xx
// "current inside the device", 0x23xx "current, device output side"),
// "voltage" (0x3xxx; 0x31xx "mains voltage", 0x32xx "voltage inside the
// device", 0x33xx "output voltage"), "temperature" (0x4xxx; 0x41xx "ambient
// temperature", 0x42xx "device temperature"), "device hardware" (0x5xxx),
// "device software" (0x6xxx; 0x61xx "internal software", 0x62xx "user
// software", 0x63xx "data set"), "additional modules" (0x7xxx),
// "monitoring" (0x8xxx; 0x81xx "communication" with 0x8110 "CAN overrun
// (objects lost)", 0x8120 "CAN in error passive mode", 0x8130 "life guard
// error or heartbeat error", 0x8140 "recovered from bus off", 0x8150
// "CAN-ID collision"; 0x82xx "protocol error" with 0x8210 "PDO not
// processed due to length error", 0x8220 "PDO length exceeded", 0x8230
// "DAM MPDO not processed, destination object not available", 0x8240
// "unexpected SYNC data length", 0x8250 "RPDO time-out"), "external error"
// (0x9xxx), "additional functions" (0xF0xx), "device specific" (0xFFxx);
// "unknown error code" for the rest (0x01xx..0x0Fxx, 0xAxxx..0xExxx,
// 0xF1xx..0xFExx). A static string; any thread.
const char* emergency_code_text(uint16_t error_code);

// The set bits of an error register, lowest first, comma-separated:
// "generic" (bit 0, set with any error), "current", "voltage",
// "temperature", "communication", "device profile", "reserved" (bit 6),
// "manufacturer" (bit 7); "no error" for 0. E.g. "generic, voltage" for 0x05.
std::string error_register_text(uint8_t error_register);

// One line for a log or an alarm, e.g.
// "0x3210 voltage inside the device, register 0x05: generic, voltage".
std::string emergency_text(const Emergency& e);

// A bounded queue of emergencies: the server loop (or whoever takes the
// frames) puts them in, device code takes them out, each on its own thread.
// It keeps the oldest: when it is full, a new emergency is dropped and
// counted (the first errors of a burst are usually its cause), until device
// code takes some. Storage is reserved once, when it is made: putting and
// taking allocate nothing and hold the queue's own lock only for the copy.
class EmergencyQueue {
 public:
  static constexpr int kDefaultCapacity = 16;

  // Room for `capacity` emergencies; below 1: kDefaultCapacity.
  explicit EmergencyQueue(int capacity = kDefaultCapacity);
  EmergencyQueue(const EmergencyQueue&) = delete;
  EmergencyQueue& operator=(const EmergencyQueue&) = delete;

  // Append e; false when the queue is full (e dropped and counted).
  bool push(const Emergency& e);
  // Every emergency of node `node_id` in frames[0..count), in their order,
  // decoded and appended with taken_ms. Returns how many there were, queued
  // or dropped; 0 for a null frames or a count below 1.
  int collect(const CMSG* frames, int count, int node_id, long long taken_ms);
  // Move the oldest emergency into *out; false (out untouched) when the
  // queue is empty or out is null.
  bool take(Emergency* out);

  int size() const;
  int capacity() const { return static_cast<int>(ring_.size()); }
  // Emergencies dropped because the queue was full, since it was made.
  uint64_t dropped() const;
  // Empty the queue (the dropped count stays).
  void clear();

 private:
  mutable std::mutex mu_;
  std::vector<Emergency> ring_;  // fixed size: the capacity
  int head_ = 0;                 // the oldest
  int count_ = 0;
  uint64_t dropped_ = 0;
};

// One entry of a node's error history (0x1003, subindexes 1..): a 32-bit
// value whose low 16 bits are the error code and whose high 16 bits are
// additional information of the manufacturer's.
struct ErrorHistoryEntry {
  uint16_t error_code = 0;
  uint16_t additional_info = 0;
};

// Read the node's error history through its SDO client: the number of
// entries at 0x1003 subindex 0, then subindexes 1..n, the newest first. On
// success *entries holds the n entries in that order (none when the node
// lists none). Results are those of D_can::sdo_upload: 0; -1 for a
// time-out, an abort (sdo_abort_code() tells which: 0x06020000 for a node
// without an error history) or a protocol error, also for a subindex 0
// that came without a byte (of up to 4, the first counts) or an entry of
// more than 4 bytes (an entry of fewer is read as its low bytes); 77 when the node's handle is not usable;
// 22 for a null entries or a node id outside 1..127; else the driver's
// status. On a failure *entries holds the entries read before it. A node
// that reports an error while its history is read may shift its entries:
// one may then be read twice or not at all.
int read_error_history(D_can& node, std::vector<ErrorHistoryEntry>* entries);

// Clear the node's error history: 0 written to 0x1003 subindex 0. Results
// as D_can::sdo_download's (-1 with sdo_abort_code() 0x06010002 for a node
// whose history cannot be cleared).
int clear_error_history(D_can& node);

}  // namespace vorbel

#endif  // VORBEL_EMERGENCY_H
