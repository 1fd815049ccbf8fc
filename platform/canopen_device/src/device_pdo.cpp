// Process data of the simulated CANopen node: PDO parameters in its
// dictionary, SYNC, receive and transmit PDOs, and process values that move.
#include <algorithm>
#include <array>
#include <set>

#include "canopen_device.h"
#include "device_bytes.h"
#include "telvo.h"

namespace canopen_sim {

namespace {

constexpr uint32_t kCobInvalid = 0x80000000u;   // bit 31: the PDO is not valid
constexpr uint32_t kCobExtended = 0x20000000u;  // bit 29: a 29-bit identifier
constexpr uint32_t kCobIdBits = 0x7FF;
constexpr uint32_t kCobReserved = 0x1FFFF800u;  // bits 11..28: only with bit 29
constexpr int kMaxPdoBits = 64;
constexpr int kLastSyncType = 240;
constexpr int kPdoTimerMs = 1;
constexpr int16_t kMinTemperature = 200;
constexpr int16_t kMaxTemperature = 300;

uint64_t mask(int bits) { return bits >= 64 ? ~uint64_t{0} : (uint64_t{1} << bits) - 1; }

using wire::le_bytes;
using wire::le_read;
using wire::le_write;

enum class Kind { Receive, Transmit };

uint16_t comm_index(Kind k, int n) {
  return static_cast<uint16_t>((k == Kind::Receive ? kRpdoCommIndex : kTpdoCommIndex) + n);
}
uint16_t mapping_index(Kind k, int n) { return static_cast<uint16_t>(comm_index(k, n) + 0x200); }

// Which PDO parameter object an index is, if any (n counted from 0).
struct PdoObject {
  Kind kind = Kind::Receive;
  bool mapping = false;
  int n = 0;
};

bool pdo_object(uint16_t index, PdoObject* o) {
  const uint16_t bases[] = {kRpdoCommIndex, kRpdoMappingIndex, kTpdoCommIndex, kTpdoMappingIndex};
  for (int b = 0; b < 4; ++b) {
    if (index >= bases[b] && index < bases[b] + kPdoCount) {
      *o = PdoObject{b < 2 ? Kind::Receive : Kind::Transmit, b % 2 == 1, index - bases[b]};
      return true;
    }
  }
  return false;
}

bool valid_transmission_type(uint64_t t) { return t <= kLastSyncType || t == 254 || t == 255; }

// Communication parameters as the dictionary holds them.
struct Comm {
  uint32_t cob = kCobInvalid;
  int type = 255;
  int inhibit_100us = 0;
  int event_ms = 0;
  int sync_start = 0;
  bool valid() const { return (cob & kCobInvalid) == 0; }
  int32_t id() const { return static_cast<int32_t>(cob & kCobIdBits); }
};

struct Mapped {
  uint16_t index = 0;
  uint8_t subindex = 0;
  int bits = 0;
};

Mapped unpack(uint64_t v) {
  return Mapped{static_cast<uint16_t>(v >> 16), static_cast<uint8_t>(v >> 8), static_cast<int>(v & 0xFF)};
}

}  // namespace

// The PDO engine's state; the parameters themselves live in the dictionary.
// Guarded by the device's lock, apart from `timer`'s thread.
struct Device::PdoState {
  struct Tpdo {
    int syncs = 0;         // SYNCs since the last one sent (types 1..240)
    bool started = false;  // the SYNC start value was met
    bool sent = false;
    uint64_t word = 0;     // the bits last sent
    int64_t sent_us = 0;
  };
  struct Rpdo {
    bool pending = false;  // a synchronous PDO waiting for the SYNC
    CMSG frame{};
  };

  std::set<std::pair<uint16_t, uint8_t>> mappable;
  std::array<Tpdo, kPdoCount> tpdo{};
  std::array<Rpdo, kPdoCount> rpdo{};
  uint64_t length_errors = 0;
  uint32_t drift = 0;  // the temperature's random walk
  std::shared_ptr<Producer> timer;
  bool timer_checked = false;  // the timer follows the parameters, state and silence below
  NmtState timer_state = NmtState::PreOperational;
  Silence timer_silence = Silence::None;

  static const std::string* bytes(const Device& d, uint16_t index, uint8_t subindex) {
    const auto it = d.objects_.find({index, subindex});
    return it == d.objects_.end() ? nullptr : &it->second.bytes;
  }
  static uint64_t number(const Device& d, uint16_t index, uint8_t subindex) {
    const std::string* b = bytes(d, index, subindex);
    return b ? le_read(*b) : 0;
  }

  static Comm comm(const Device& d, Kind k, int n) {
    const uint16_t i = comm_index(k, n);
    Comm c;
    c.cob = static_cast<uint32_t>(number(d, i, 1));
    c.type = static_cast<int>(number(d, i, 2));
    c.inhibit_100us = static_cast<int>(number(d, i, 3));
    c.event_ms = static_cast<int>(number(d, i, 5));
    c.sync_start = static_cast<int>(number(d, i, 6));
    return c;
  }

  // Entries 1..count of a mapping (count at most kPdoMappingEntries).
  static int mapping(const Device& d, Kind k, int n, std::array<Mapped, kPdoMappingEntries>& e) {
    const uint16_t i = mapping_index(k, n);
    const int count = std::min<int>(static_cast<int>(number(d, i, 0)), kPdoMappingEntries);
    for (int s = 0; s < count; ++s) e[static_cast<std::size_t>(s)] = unpack(number(d, i, static_cast<uint8_t>(s + 1)));
    return count;
  }

  bool mappable_entry(const Device& d, Kind k, const Mapped& m) const {
    const auto it = d.objects_.find({m.index, m.subindex});
    if (it == d.objects_.end() || mappable.count({m.index, m.subindex}) == 0) return false;
    const int size_bits = static_cast<int>(std::min<std::size_t>(it->second.bytes.size(), 8)) * 8;
    if (m.bits < 1 || m.bits > size_bits) return false;
    return k == Kind::Transmit || it->second.access == Access::ReadWrite;
  }

  // The frame of transmit PDO n with the mapped objects' present values.
  static CMSG frame(const Device& d, int n, uint64_t* word) {
    std::array<Mapped, kPdoMappingEntries> e;
    const int count = mapping(d, Kind::Transmit, n, e);
    uint64_t w = 0;
    int bits = 0;
    for (int s = 0; s < count; ++s) {
      const Mapped& m = e[static_cast<std::size_t>(s)];
      w |= (number(d, m.index, m.subindex) & mask(m.bits)) << bits;
      bits += m.bits;
    }
    CMSG f{};
    f.id = comm(d, Kind::Transmit, n).id();
    f.len = static_cast<uint8_t>((bits + 7) / 8);
    for (int b = 0; b < 8; ++b) f.data[b] = static_cast<uint8_t>(w >> (8 * b));
    *word = w;
    return f;
  }

  void send_tpdo(const Device& d, int n, std::vector<CMSG>& out) {
    Tpdo& t = tpdo[static_cast<std::size_t>(n)];
    out.push_back(frame(d, n, &t.word));
    t.sent = true;
    t.sent_us = TELVOtime_us();
  }

  // The mapped objects of receive PDO n take the frame's bits.
  static void apply(Device& d, int n, const CMSG& f) {
    std::array<Mapped, kPdoMappingEntries> e;
    const int count = mapping(d, Kind::Receive, n, e);
    uint64_t w = 0;
    for (int b = (f.len & NTCAN_DLC_MASK) - 1; b >= 0; --b) w = w << 8 | f.data[b];
    for (int s = 0; s < count; ++s) {
      const Mapped& m = e[static_cast<std::size_t>(s)];
      const auto it = d.objects_.find({m.index, m.subindex});
      if (it != d.objects_.end()) {
        std::string& b = it->second.bytes;
        le_write(b, (le_read(b) & ~mask(m.bits)) | (w & mask(m.bits)));
      }
      w = m.bits >= 64 ? 0 : w >> m.bits;
    }
  }

  void step(Device& d) {
    const auto target = static_cast<int32_t>(number(d, kTargetVelocityIndex, 0));
    const auto position = static_cast<uint32_t>(number(d, kPositionIndex, 0));
    auto temperature = static_cast<int16_t>(number(d, kTemperatureIndex, 0));
    drift = drift * 1103515245u + 12345u;
    temperature = static_cast<int16_t>(
        std::clamp<int>(temperature + static_cast<int>((drift >> 16) % 3) - 1, kMinTemperature, kMaxTemperature));
    const std::pair<uint16_t, uint64_t> values[] = {
        {kVelocityIndex, static_cast<uint32_t>(target)},
        {kPositionIndex, position + static_cast<uint32_t>(target)},
        {kTemperatureIndex, static_cast<uint16_t>(temperature)}};
    for (const auto& v : values) {
      const auto it = d.objects_.find({v.first, 0});
      if (it != d.objects_.end()) le_write(it->second.bytes, v.second);
    }
  }

  void on_sync(Device& d, int counter, std::vector<CMSG>& out) {
    for (int n = 0; n < kPdoCount; ++n) {
      Rpdo& r = rpdo[static_cast<std::size_t>(n)];
      if (r.pending) apply(d, n, r.frame);
      r.pending = false;
    }
    step(d);
    for (int n = 0; n < kPdoCount; ++n) {
      const Comm c = comm(d, Kind::Transmit, n);
      if (!c.valid() || c.type > kLastSyncType) continue;
      Tpdo& t = tpdo[static_cast<std::size_t>(n)];
      bool due = false;
      if (c.type == 0) {
        uint64_t w = 0;
        frame(d, n, &w);
        due = !t.sent || w != t.word;
      } else if (c.sync_start > 0 && counter > 0 && !t.started) {
        due = t.started = counter == c.sync_start;
        t.syncs = 0;
      } else if (++t.syncs >= c.type) {
        due = true;
        t.syncs = 0;
      }
      if (due) send_tpdo(d, n, out);
    }
  }

  // An event-driven transmit PDO is valid and the node operational.
  static bool timer_wanted(const Device& d) {
    if (d.state_ != NmtState::Operational || d.silence_ == Silence::All) return false;
    for (int n = 0; n < kPdoCount; ++n) {
      const Comm c = comm(d, Kind::Transmit, n);
      if (c.valid() && c.type > kLastSyncType) return true;
    }
    return false;
  }
};

void Device::define_pdo_objects() {
  pdo_ = std::make_shared<PdoState>();
  pdo_->drift = static_cast<uint32_t>(node_id_);
  const auto ro = Access::ReadOnly;
  const auto rw = Access::ReadWrite;
  objects_[{kSyncCobIdIndex, 0}] = Entry{le_bytes(0x80, 4), rw, true};
  for (int n = 0; n < kPdoCount; ++n) {
    const uint32_t base = static_cast<uint32_t>(0x100 * n + node_id_) | kCobInvalid;
    const uint16_t r = comm_index(Kind::Receive, n), t = comm_index(Kind::Transmit, n);
    objects_[{r, 0}] = Entry{le_bytes(2, 1), ro, true};
    objects_[{r, 1}] = Entry{le_bytes(base + 0x200, 4), rw, true};
    objects_[{r, 2}] = Entry{le_bytes(255, 1), rw, true};
    objects_[{t, 0}] = Entry{le_bytes(6, 1), ro, true};
    objects_[{t, 1}] = Entry{le_bytes(base + 0x180, 4), rw, true};
    objects_[{t, 2}] = Entry{le_bytes(255, 1), rw, true};
    objects_[{t, 3}] = Entry{le_bytes(0, 2), rw, true};
    objects_[{t, 5}] = Entry{le_bytes(0, 2), rw, true};
    objects_[{t, 6}] = Entry{le_bytes(0, 1), rw, true};
    for (const Kind k : {Kind::Receive, Kind::Transmit})
      for (uint8_t s = 0; s <= kPdoMappingEntries; ++s)
        objects_[{mapping_index(k, n), s}] = Entry{le_bytes(0, s == 0 ? 1 : 4), rw, true};
  }
  objects_[{kPositionIndex, 0}] = Entry{le_bytes(0, 4), ro, true};
  objects_[{kVelocityIndex, 0}] = Entry{le_bytes(0, 4), ro, true};
  objects_[{kTargetVelocityIndex, 0}] = Entry{le_bytes(kDefaultTargetVelocity, 4), rw, true};
  objects_[{kTemperatureIndex, 0}] = Entry{le_bytes(static_cast<uint16_t>(kStartTemperature), 2), ro, true};
  for (const uint16_t i : {kPositionIndex, kVelocityIndex, kTargetVelocityIndex, kTemperatureIndex})
    pdo_->mappable.insert({i, 0});
}

uint32_t Device::pdo_parameter_check_locked(uint16_t index, uint8_t subindex, const std::string& bytes) {
  PdoObject o;
  if (!pdo_object(index, &o)) return 0;
  const uint64_t v = le_read(bytes);
  PdoState& p = *pdo_;
  if (!o.mapping) {
    p.timer_checked = false;
    if (subindex == 1) {
      const Comm now = PdoState::comm(*this, o.kind, o.n);
      if ((v & kCobInvalid) == 0) {
        if (v & (kCobExtended | kCobReserved)) return kAbortValueRange;
        if ((v & kCobIdBits) == 0) return kAbortValueTooLow;
        if (now.valid() && static_cast<uint32_t>(now.id()) != (v & kCobIdBits)) return kAbortValueRange;
      }
      if (o.kind == Kind::Transmit) p.tpdo[static_cast<std::size_t>(o.n)] = PdoState::Tpdo{};
      else p.rpdo[static_cast<std::size_t>(o.n)] = PdoState::Rpdo{};
    }
    if (subindex == 2 && !valid_transmission_type(v)) return kAbortValueRange;
    if (subindex == 6 && v > kLastSyncType) return kAbortValueTooHigh;
    return 0;
  }
  if (PdoState::comm(*this, o.kind, o.n).valid()) return kAbortDeviceState;
  if (subindex != 0) {
    if (PdoState::number(*this, index, 0) != 0) return kAbortDeviceState;
    return v == 0 || p.mappable_entry(*this, o.kind, unpack(v)) ? 0 : kAbortNotMappable;
  }
  if (v > kPdoMappingEntries) return kAbortValueTooHigh;
  int bits = 0;
  for (uint8_t s = 1; s <= v; ++s) {
    const Mapped m = unpack(PdoState::number(*this, index, s));
    if (!p.mappable_entry(*this, o.kind, m)) return kAbortNotMappable;
    bits += m.bits;
  }
  return bits > kMaxPdoBits ? kAbortMappingTooLong : 0;
}

bool Device::pdo_frame_locked(const CMSG& m, std::vector<CMSG>& out) {
  if (state_ != NmtState::Operational || (m.len & NTCAN_RTR)) return false;
  PdoState& p = *pdo_;
  const int dlc = m.len & NTCAN_DLC_MASK;
  if (static_cast<uint32_t>(m.id) == (PdoState::number(*this, kSyncCobIdIndex, 0) & kCobIdBits)) {
    p.on_sync(*this, dlc > 0 ? m.data[0] : 0, out);
    return true;
  }
  for (int n = 0; n < kPdoCount; ++n) {
    const auto cob = static_cast<uint32_t>(PdoState::number(*this, comm_index(Kind::Receive, n), 1));
    if ((cob & kCobInvalid) || static_cast<int32_t>(cob & kCobIdBits) != m.id) continue;
    std::array<Mapped, kPdoMappingEntries> e;
    int bits = 0;
    for (int s = PdoState::mapping(*this, Kind::Receive, n, e); s-- > 0;) bits += e[static_cast<std::size_t>(s)].bits;
    PdoState::Rpdo& r = p.rpdo[static_cast<std::size_t>(n)];
    if (dlc * 8 < bits) {
      ++p.length_errors;
    } else if (PdoState::number(*this, comm_index(Kind::Receive, n), 2) <= kLastSyncType) {
      r.pending = true;
      r.frame = m;
    } else {
      PdoState::apply(*this, n, m);
    }
    return true;
  }
  return false;
}

void Device::pdo_reset_locked() {
  pdo_->tpdo = {};
  pdo_->rpdo = {};
  pdo_->timer_checked = false;  // the parameters may have changed back
}

void Device::pdo_tick() {
  std::vector<CMSG> out;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (state_ != NmtState::Operational || silence_ == Silence::All) return;
    PdoState& p = *pdo_;
    const int64_t now = TELVOtime_us();
    for (int n = 0; n < kPdoCount; ++n) {
      const Comm c = PdoState::comm(*this, Kind::Transmit, n);
      if (!c.valid() || c.type <= kLastSyncType) continue;
      const PdoState::Tpdo& t = p.tpdo[static_cast<std::size_t>(n)];
      uint64_t w = 0;
      PdoState::frame(*this, n, &w);
      const int64_t since = now - t.sent_us;
      const bool inhibited = t.sent && since < int64_t{c.inhibit_100us} * 100;
      const bool timer_due = t.sent && c.event_ms > 0 && since >= int64_t{c.event_ms} * 1000;
      if (!inhibited && (!t.sent || w != t.word || timer_due)) p.send_tpdo(*this, n, out);
    }
  }
  send(out);
}

void Device::follow_pdo_timer() {
  std::shared_ptr<Producer> stale;
  bool start = false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    PdoState& p = *pdo_;
    if (p.timer_checked && p.timer_state == state_ && p.timer_silence == silence_) return;
    p.timer_checked = true;
    p.timer_state = state_;
    p.timer_silence = silence_;
    const bool wanted = PdoState::timer_wanted(*this);
    if (!wanted) stale = std::move(p.timer);
    start = wanted && !p.timer;
  }
  if (stale) stop_producer(stale);
  if (!start) return;
  std::shared_ptr<Producer> t = start_producer(kPdoTimerMs, [](Device& d) { d.pdo_tick(); });
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!pdo_->timer && PdoState::timer_wanted(*this)) pdo_->timer = std::exchange(t, nullptr);
  }
  if (t) stop_producer(t);  // another thread's follow got there first
}

void Device::stop_pdo_timer() {
  std::shared_ptr<Producer> t;
  {
    std::lock_guard<std::mutex> lock(mu_);
    t = std::move(pdo_->timer);
  }
  if (t) stop_producer(t);
}

void Device::set_mappable(uint16_t index, uint8_t subindex, bool on) {
  std::lock_guard<std::mutex> lock(mu_);
  if (on)
    pdo_->mappable.insert({index, subindex});
  else
    pdo_->mappable.erase({index, subindex});
}

void Device::step_process() {
  std::lock_guard<std::mutex> lock(mu_);
  pdo_->step(*this);
}

uint64_t Device::pdo_length_errors() const {
  std::lock_guard<std::mutex> lock(mu_);
  return pdo_->length_errors;
}

}  // namespace canopen_sim
