// libVORBEL process data: the PDOs of CANopen nodes and a SYNC producer.
// Included by D_vorbel.h.
//
//   PdoMapping, PdoComm, PdoConfig   a PDO's mapping and communication
//                  parameters, by the node's parameter objects: receive PDO
//                  n (the node receives it) at 0x1400 + n - 1 / 0x1600 + n - 1,
//                  transmit PDO n (the node sends it) at 0x1800 + n - 1 /
//                  0x1A00 + n - 1, n = 1..512.
//   pdo_encode, pdo_decode   the values of a mapping as the bytes of a frame:
//                  little-endian, bit-exact, each entry right after the one
//                  before it from bit 0 of byte 0.
//   pdo_read, pdo_write      a node's PDO configuration over SDO.
//   PdoReceiver    the decoded values of one transmit PDO, taken from the
//                  node's frames and readable on any thread.
//   pdo_send       the frame of a receive PDO, encoded and sent.
//   SyncProducer   SYNC frames every period, on a thread of its own.
//
// Mappings by name: PdoMapping::add(dictionary, "Position actual value")
// takes an entry of the node's object dictionary (vorbel_od.h) with its
// index, subindex, bit length and type; set_types(dictionary) types the
// entries of a mapping read from a node.
//
// Results follow the library's codes: 0 success, -1 the library's own
// failure (an SDO transfer that failed: the node's D_can::sdo_abort_code()
// tells its abort), 22 NTCAN_INVALID_PARAMETER for bad input (nothing sent),
// 77 an unusable handle, else the driver's status.
//
// Threads: PdoValue, PdoMapping and PdoConfig are plain values, and the
// codec functions touch nothing else, so any thread may use its own; pdo_read,
// pdo_write and pdo_send run on the caller's thread as the node's SDO client
// and can_write do; PdoReceiver and SyncProducer say below.
//
// A mapping names its entries by index, subindex and length in bits; what
// the bits mean (unsigned, signed, a real) is the entry's type, which a
// node's mapping objects do not hold: entries read from a node are
// unsigned until device code (or a dictionary) sets their type.
#ifndef VORBEL_PDO_H
#define VORBEL_PDO_H

#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>

#include "ntcan.h"

class D_can;

namespace vorbel {

namespace od {
class Dictionary;  // vorbel_od.h
}

// What the bits of a mapped entry hold.
enum class PdoType : uint8_t {
  Unsigned,  // 1..64 bits
  Signed,    // 1..64 bits, two's complement
  Real32,    // exactly 32 bits, IEEE 754 single
  Real64,    // exactly 64 bits, IEEE 754 double
};

// One value of a PDO: an unsigned or signed integer or a real. Built from
// any arithmetic type (PdoValue(-5), PdoValue(7u), PdoValue(1.5)).
class PdoValue {
 public:
  enum class Kind : uint8_t { Unsigned, Signed, Real };

  constexpr PdoValue() : kind_(Kind::Unsigned), bits_(0) {}
  template <class T, std::enable_if_t<std::is_integral<T>::value && std::is_signed<T>::value, int> = 0>
  constexpr PdoValue(T v) : kind_(Kind::Signed), bits_(static_cast<uint64_t>(static_cast<int64_t>(v))) {}  // NOLINT
  template <class T, std::enable_if_t<std::is_integral<T>::value && !std::is_signed<T>::value, int> = 0>
  constexpr PdoValue(T v) : kind_(Kind::Unsigned), bits_(v) {}  // NOLINT: implicit by design
  template <class T, std::enable_if_t<std::is_floating_point<T>::value, int> = 0>
  PdoValue(T v) : kind_(Kind::Real), bits_(real_bits(static_cast<double>(v))) {}  // NOLINT

  Kind kind() const { return kind_; }
  // The value converted: an integer read as another integer as C++
  // converts (a negative value read unsigned wraps); a real read as an
  // integer truncated toward zero and held within the integer's range (a
  // NaN reads 0).
  uint64_t as_unsigned() const;
  int64_t as_signed() const;
  double as_real() const;
  // Same kind and same value (reals bit for bit, so a NaN equals itself).
  bool operator==(const PdoValue& o) const;
  bool operator!=(const PdoValue& o) const { return !(*this == o); }

 private:
  static uint64_t real_bits(double d);

  Kind kind_;
  uint64_t bits_;  // the integer, two's complement, or the double's bits
};

// One entry of a mapping: an object of the node's dictionary, or the part
// of it that the PDO carries (its lowest `bits` bits).
struct PdoEntry {
  uint16_t index = 0;
  uint8_t subindex = 0;
  uint8_t bits = 0;  // 1..64
  PdoType type = PdoType::Unsigned;

  // As a mapping object holds it: index << 16 | subindex << 8 | bits.
  uint32_t packed() const { return static_cast<uint32_t>(index) << 16 | static_cast<uint32_t>(subindex) << 8 | bits; }
  bool operator==(const PdoEntry& o) const {
    return index == o.index && subindex == o.subindex && bits == o.bits && type == o.type;
  }
};

// The mapping of one PDO: at most 64 entries of at most 64 bits together.
// Entry i starts at bit offset(i) of the frame; the frame has bytes() bytes.
class PdoMapping {
 public:
  static constexpr int kMaxBits = 64;
  static constexpr int kMaxEntries = 64;

  // Append an entry. 0, or 22 (nothing added) when bits is outside 1..64,
  // a real's length is not its type's (32 / 64), or the mapping would
  // exceed 64 bits.
  int add(uint16_t index, uint8_t subindex, int bits, PdoType type = PdoType::Unsigned);
  int add(const PdoEntry& e) { return add(e.index, e.subindex, e.bits, e.type); }
  // Append the dictionary's entry `name` (as od::Dictionary::entry finds
  // it: case-insensitive, "Object.Sub-object" for a sub-object) with its
  // index and subindex, the bit length of its data type and the type of
  // its bits: BOOLEAN 1 bit unsigned, UNSIGNED8..64 (24..56 too) unsigned,
  // INTEGER8..64 signed, REAL32 and REAL64 reals. 0, or 22 with nothing
  // added and *why (when given) saying why: no such entry (or a name that
  // several entries share), an entry without PDOMapping=1, a type that
  // does not go into a PDO as a number (strings, domains, the time types,
  // an unknown type), or a mapping that would exceed 64 bits.
  int add(const od::Dictionary& dictionary, const std::string& name, std::string* why = nullptr);
  // Set the type of every entry that the dictionary has as a number (as
  // add by name does; an entry that maps fewer bits than its object keeps
  // the object's signedness, a real only at its full length). For a
  // mapping read from a node (pdo_read), whose entries are unsigned.
  // 0 when every entry was typed; 22 when one is missing from the
  // dictionary or not a number there (it stays as it was, the others are
  // typed).
  int set_types(const od::Dictionary& dictionary);
  // Set the type of entry i (for entries read from a node). 0, or 22 for
  // no such entry or a real type of another length.
  int set_type(int i, PdoType type);
  void clear() { count_ = 0; bits_ = 0; }

  int size() const { return count_; }
  bool empty() const { return count_ == 0; }
  const PdoEntry& operator[](int i) const { return entries_[static_cast<std::size_t>(i)]; }
  const PdoEntry* begin() const { return entries_.data(); }
  const PdoEntry* end() const { return entries_.data() + count_; }
  int offset(int i) const { return offsets_[static_cast<std::size_t>(i)]; }
  int bits() const { return bits_; }
  int bytes() const { return (bits_ + 7) / 8; }
  // Position of the first entry of (index, subindex), -1 when none.
  int find(uint16_t index, uint8_t subindex) const;

  bool operator==(const PdoMapping& o) const;
  bool operator!=(const PdoMapping& o) const { return !(*this == o); }

 private:
  std::array<PdoEntry, kMaxEntries> entries_{};
  std::array<uint8_t, kMaxEntries> offsets_{};
  int count_ = 0;
  int bits_ = 0;
};

enum class PdoKind : uint8_t {
  Receive,   // RPDO: the node receives it (0x1400 / 0x1600)
  Transmit,  // TPDO: the node sends it (0x1800 / 0x1A00)
};

// Communication parameters of a PDO (subindexes 1, 2, 3, 5, 6 of its
// communication object).
struct PdoComm {
  static constexpr uint32_t kInvalid = 0x80000000u;   // bit 31: the PDO is not valid
  static constexpr uint32_t kNoRtr = 0x40000000u;     // bit 30: no remote request
  static constexpr uint32_t kExtended = 0x20000000u;  // bit 29: 29-bit identifier

  uint32_t cob_id = kInvalid;
  // 0 synchronous acyclic, 1..240 every n-th SYNC, 254 / 255 event-driven.
  uint8_t transmission_type = 255;
  uint16_t inhibit_time = 0;  // in 100 us
  uint16_t event_timer = 0;   // in ms, 0 off
  uint8_t sync_start = 0;     // SYNC counter value of the first transmission, 0 off

  bool valid() const { return (cob_id & kInvalid) == 0; }
  // The CAN identifier (11 bits); -1 for a 29-bit COB-ID, which the
  // library's lines do not carry.
  int32_t can_id() const { return (cob_id & kExtended) ? -1 : static_cast<int32_t>(cob_id & 0x7FF); }
  bool operator==(const PdoComm& o) const {
    return cob_id == o.cob_id && transmission_type == o.transmission_type && inhibit_time == o.inhibit_time &&
           event_timer == o.event_timer && sync_start == o.sync_start;
  }
};

// One PDO of a node: which one, and its parameters.
struct PdoConfig {
  static constexpr int kMaxNumber = 512;

  PdoKind kind = PdoKind::Transmit;
  int number = 1;  // 1..512
  PdoComm comm;
  PdoMapping mapping;

  int comm_index() const { return (kind == PdoKind::Receive ? 0x1400 : 0x1800) + number - 1; }
  int mapping_index() const { return comm_index() + 0x200; }
  bool operator==(const PdoConfig& o) const {
    return kind == o.kind && number == o.number && comm == o.comm && mapping == o.mapping;
  }
};

// The COB-ID of PDO `number` of node `node_id` in the predefined connection
// set: transmit PDOs 1..4 at 0x180 / 0x280 / 0x380 / 0x480 + node id,
// receive PDOs 1..4 at 0x200 / 0x300 / 0x400 / 0x500 + node id, valid.
// PDOs 5..512 have none: PdoComm::kInvalid. Also kInvalid for a node id
// outside 1..127 or a number outside 1..512.
uint32_t pdo_default_cob_id(PdoKind kind, int number, int node_id);

// --- Codec. Both walk the mapping table; nothing is allocated.

// Encode `count` values (one per entry, in order) into data[0 .. bytes()),
// the bits after the last entry 0. Returns 0, or 22 with nothing written
// when count is not the mapping's size or a value does not fit its entry:
// a negative value or one above 2^bits - 1 for an unsigned entry, one
// outside -2^(bits-1) .. 2^(bits-1) - 1 for a signed entry, a real with a
// fraction for an integer entry, a finite real beyond the range of a
// 32-bit real for a Real32 entry. *bad (when given) is the position of the
// first value refused, -1 otherwise.
int pdo_encode(const PdoMapping& mapping, const PdoValue* values, int count, unsigned char data[8],
               int* bad = nullptr);
// Decode a frame's `len` data bytes into values[0 .. size()), each of its
// entry's type (Unsigned, Signed, Real: a Real32 widened). Returns 0, or -1
// with nothing written when len is not the mapping's bytes().
int pdo_decode(const PdoMapping& mapping, const unsigned char* data, int len, PdoValue* values);

// --- Configuration over SDO, through the node's SDO client (its SDO
// responses 0x580 + node id enabled). Run on the caller's thread; every
// transfer waits at most the node's SDO time-out.

// Read PDO `number` (1..512) of `kind` from the node into *out: the
// communication object's subindex 0 (its highest subindex), 1 and 2, and 3,
// 5 and 6 as far as the node has them (missing ones read 0), then the
// mapping's count and entries (all unsigned). Returns 0; -1 when a
// transfer failed (node.sdo_abort_code() is its abort) or the node's
// parameters cannot be a PDO (a count above 64, an entry of 0 bits, more
// than 64 bits, a value wider than its parameter): logged, *out unchanged;
// 22 for a bad number or null out; 77 or the driver's status as the SDO
// client returns them.
int pdo_read(D_can& node, PdoKind kind, int number, PdoConfig* out);
// Write `config` to the node in the order the node requires: the COB-ID
// with bit 31 set (the PDO invalid), the transmission type, for a transmit
// PDO its inhibit time and SYNC start value, the event timer, the mapping's
// count 0, its entries, its count, and last the COB-ID as given (valid
// unless config.comm says otherwise). Inhibit time, event timer and SYNC
// start value of 0 are not needed: a node without the subindex may refuse
// them. Returns 0; -1 when a transfer failed: node.sdo_abort_code() is the
// node's abort code (0x06040041 an entry that cannot be mapped, 0x06040042
// a mapping too long for the PDO, 0x06090030 .. 32 a value outside its
// range, ...), the failure is logged, and the PDO is left invalid from the
// first write on (only a refusal of that first write leaves the PDO as it
// was); 22 for a bad number; 77 or the driver's status as the SDO client
// returns them.
int pdo_write(D_can& node, const PdoConfig& config);

// --- Transmit.

// Encode `count` values by `mapping` (see pdo_encode) and send the frame on
// the CAN identifier `can_id` (0..0x7FF) with the node's can_write.
// Returns can_write's result, or 22 with nothing sent for a bad identifier
// or values that do not fit.
int pdo_send(D_can& node, int32_t can_id, const PdoMapping& mapping, const PdoValue* values, int count);

// --- Receive.

// The latest decoded values of a PdoReceiver, taken together: all from one
// frame.
struct PdoSample {
  int count = 0;            // entries of the mapping
  long long time_ms = -1;   // time given with the take that decoded it; -1 before any
  uint64_t decoded = 0;     // frames decoded so far
  std::array<PdoValue, PdoMapping::kMaxEntries> values{};
};

// The values of one transmit PDO of a node: bound to its CAN identifier and
// mapping for its life (to change either, make a new one). take() gets the
// frames of a fill; every frame on the identifier whose length is the
// mapping's counts as decoded and the last of them gives the values readers
// see (they could not tell the others apart); one of another length is
// counted and not decoded; remote requests are left alone.
//
// Threads: take() runs on one thread at a time (the server loop); every
// other member may be called on any thread at the same time, and a reader
// never sees values of two frames mixed. take() allocates nothing, takes no
// lock and never waits for a reader.
class PdoReceiver {
 public:
  // can_id: 0..0x7FF. A bad identifier leaves the receiver unbound: it
  // decodes nothing and bound() is false.
  PdoReceiver(int32_t can_id, const PdoMapping& mapping);
  PdoReceiver(const PdoReceiver&) = delete;
  PdoReceiver& operator=(const PdoReceiver&) = delete;

  bool bound() const { return can_id_ >= 0; }
  int32_t can_id() const { return can_id_; }
  const PdoMapping& mapping() const { return mapping_; }

  // Take the frames of a fill, received at time_ms. Returns the number of
  // frames of this PDO decoded. Inline: it runs in every fill of the node,
  // and the call would cost as much as the decode.
  int take(const CMSG* frames, int n, long long time_ms) {
    if (!frames || can_id_ < 0) return 0;
    // Only the last good frame of the batch is published (a reader could
    // not tell the others apart); every good one counts as decoded.
    const CMSG* last = nullptr;
    int good = 0;
    for (int k = 0; k < n; ++k) {
      const CMSG& m = frames[k];
      if (m.id != can_id_ || (m.len & NTCAN_RTR)) continue;
      if ((m.len & NTCAN_DLC_MASK) != bytes_) {
        // take() is the only writer: no atomic read-modify-write needed.
        mismatches_.store(mismatches_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
        continue;
      }
      last = &m;
      ++good;
    }
    if (last) publish(frame_word(last->data), time_ms, static_cast<uint64_t>(good));
    return good;
  }

  // The eight data bytes of a frame as one word, little-endian: bit k of a
  // PDO is bit k of the word.
  static uint64_t frame_word(const unsigned char (&data)[8]) {
    uint64_t w = 0;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    std::memcpy(&w, data, 8);
#else
    for (int i = 7; i >= 0; --i) w = w << 8 | data[i];
#endif
    return w;
  }

  PdoSample latest() const;
  // The latest value of entry i (unsigned 0 before the first frame, or for
  // no such entry).
  PdoValue value(int i) const;
  // Frames on the identifier whose length was not the mapping's.
  uint64_t length_mismatches() const { return mismatches_.load(std::memory_order_relaxed); }
  uint64_t decoded() const { return seq_.load(std::memory_order_relaxed) / 2; }

 private:
  // The sequence lock's writer side: the sequence odd, the words stored
  // (release, so that a reader that loads a word of a newer frame also sees
  // that frame's odd sequence), the sequence even again.
  void publish(uint64_t word, long long time_ms, uint64_t frames) {
    const uint64_t s = seq_.load(std::memory_order_relaxed);
    seq_.store(s + 1, std::memory_order_relaxed);
    word_.store(word, std::memory_order_release);
    time_ms_.store(time_ms, std::memory_order_release);
    seq_.store(s + 2 * frames, std::memory_order_release);
  }

  const int32_t can_id_;
  const PdoMapping mapping_;
  // Each entry's place in the frame's 64-bit word, for the readers.
  struct Field {
    uint64_t mask;
    unsigned shift;
  };
  std::array<Field, PdoMapping::kMaxEntries> fields_{};
  int bytes_ = 0;  // the length of the PDO's frames
  // A sequence lock: odd while take() writes the words below. It moves by
  // two for each frame decoded, so it also counts them.
  std::atomic<uint64_t> seq_{0};
  // The last good frame's data, little-endian: a PDO carries at most 64
  // bits, so take() publishes one word and the readers take it apart.
  std::atomic<uint64_t> word_{0};
  std::atomic<long long> time_ms_{-1};
  std::atomic<uint64_t> mismatches_{0};
};

// --- SYNC producer.

struct SyncSettings {
  long long period_us = 0;  // 100 .. 4294967295 (the range of 0x1006)
  // The synchronous counter overflow value (0x1019): 0 no counter (frames
  // without data), 2..240 a counter byte running 1..value.
  int counter_overflow = 0;
  int32_t cob_id = 0x80;  // CAN identifier, 1..0x7FF
};

struct SyncStats {
  uint64_t sent = 0;     // frames the send function took (status 0)
  uint64_t failed = 0;   // frames it refused (another status; the next frame comes as planned)
  uint64_t skipped = 0;  // SYNCs left out because the producer woke more than a period late
  int last_status = 0;   // of the last send
  // Intervals between consecutive frames handed to the send function, in
  // us of framework time, and how far they strayed from the period.
  uint64_t intervals = 0;
  double mean_interval_us = 0;
  long long min_interval_us = 0;
  long long max_interval_us = 0;
  long long max_jitter_us = 0;    // the largest |interval - period|
  long long max_lateness_us = 0;  // the largest time between a deadline and its frame
};

// Sends a SYNC frame every period on a thread of its own, against the
// framework clock (TELVOsleep): deadlines are start + k * period, so late
// wake-ups never add up to drift. The frame goes through the send function
// (e.g. a canSend on the line's handle); nothing else the library does
// delays it.
//
// Threads: every member may be called on any thread. The send function
// runs on the producer's thread, never after stop() has returned and never
// twice at once.
class SyncProducer {
 public:
  using SendFn = std::function<int(const CMSG&)>;

  explicit SyncProducer(SendFn send);
  // Stops the producer.
  ~SyncProducer();
  SyncProducer(const SyncProducer&) = delete;
  SyncProducer& operator=(const SyncProducer&) = delete;

  // Start producing, or restart with new settings: the first frame one
  // period from now, its counter (if any) 1; the statistics start anew.
  // 0, or 22 for settings outside their ranges (a running producer goes on
  // unchanged).
  int start(const SyncSettings& settings);
  // Stop at once: no frame is sent after it returns. It waits only for a
  // frame being sent at this moment, never for the clock. The thread, asleep
  // on the framework clock, ends when its sleep ends, touching nothing but
  // its own state.
  void stop();
  bool running() const;
  SyncSettings settings() const;
  // The statistics of the current run (or the last one, after stop).
  SyncStats stats() const;

  struct Run;  // one run's state, shared with its thread

 private:
  std::shared_ptr<Run> current() const;
  static void halt(const std::shared_ptr<Run>& r);

  SendFn send_;
  mutable std::mutex mx_;
  std::shared_ptr<Run> run_;
};

}  // namespace vorbel

#endif  // VORBEL_PDO_H
