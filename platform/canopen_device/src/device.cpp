// The simulated CANopen node: NMT state machine, heartbeat producer, node
// guarding, emergencies and the SDO upload server, on a simulated net.
#include "canopen_device.h"

#include <algorithm>
#include <condition_variable>
#include <stdexcept>
#include <thread>

#include "device_bytes.h"
#include "ntcan_sim.h"
#include "telvo.h"

namespace canopen_sim {

using wire::kCsAbort;
using wire::le_bytes;
using wire::le_u32;

namespace {

CMSG make(int32_t id, uint8_t len) {
  CMSG m{};
  m.id = id;
  m.len = len;
  return m;
}

// The SDO command specifier: the upper three bits of byte 0.
constexpr int kCsDownloadSegment = 0;
constexpr int kCsInitiateDownload = 1;
constexpr int kCsInitiateUpload = 2;
constexpr int kCsSegmentUpload = 3;

constexpr int kMaxHeartbeatMs = 0xFFFF;  // 0x1017 holds 16 bits


int checked_node_id(int node_id) {
  if (node_id < 1 || node_id > 127) {
    throw std::invalid_argument("canopen_sim::Device: node id " + std::to_string(node_id) +
                                " outside 1..127");
  }
  return node_id;
}

}  // namespace

// Shared by the device and one of its periodic threads (heartbeat, PDO
// timer). The thread keeps it alive after the device has let go of it, so
// that a stopped thread can wake at any time later and end without touching
// the device.
struct Device::Producer {
  std::mutex mu;
  std::condition_variable idle;
  bool stop = false;
  bool sending = false;  // the thread is acting on `device`
  std::thread::id worker;
  Device* device = nullptr;  // valid while stop is false
  int period_ms = 0;
  void (*action)(Device&) = nullptr;
};

Device::Device(int net, int node_id, Options options)
    : net_(net),
      node_id_(checked_node_id(node_id)),
      name_(options.name.empty() ? "node " + std::to_string(node_id) : options.name) {
  if (net < 0 || net >= ntcan_sim::kNetCount) {
    throw std::invalid_argument("canopen_sim::Device: no net " + std::to_string(net));
  }
  if (options.heartbeat_ms < 0 || options.heartbeat_ms > kMaxHeartbeatMs) {
    throw std::invalid_argument("canopen_sim::Device: heartbeat period outside 0..65535 ms");
  }
  const auto ro = Access::ReadOnly;
  const auto rw = Access::ReadWrite;
  objects_[{kDeviceNameIndex, 0}] = Entry{options.device_name, ro, false};
  objects_[{kHardwareVersionIndex, 0}] = Entry{options.hardware_version, ro, false};
  objects_[{kSoftwareVersionIndex, 0}] = Entry{options.software_version, ro, false};
  objects_[{kGuardTimeIndex, 0}] = Entry{le_bytes(0, 2), rw, true};
  objects_[{kLifeTimeFactorIndex, 0}] = Entry{le_bytes(0, 1), rw, true};
  objects_[{kHeartbeatTimeIndex, 0}] = Entry{le_bytes(static_cast<uint32_t>(options.heartbeat_ms), 2), rw, true};
  objects_[{kIdentityIndex, 0}] = Entry{le_bytes(4, 1), ro, true};
  const uint32_t identity[] = {options.vendor_id, options.product_code, options.revision_number,
                               options.serial_number};
  for (uint8_t sub = 1; sub <= 4; ++sub) objects_[{kIdentityIndex, sub}] = Entry{le_bytes(identity[sub - 1], 4), ro, true};
  define_error_objects_locked();
  define_pdo_objects();
  define_storage_locked(options.program_download);

  participant_ = ntcan_sim::attach(net_, name_, [this](const ntcan_sim::BusFrame& f) {
    on_frame(f.msg);
  });
  try {
    if (options.boot_up) send({state_frame(0x00)});
    if (options.heartbeat_ms > 0) start_heartbeat(options.heartbeat_ms);
  } catch (...) {
    stop_heartbeat();
    ntcan_sim::detach(participant_);
    throw;
  }
}

Device::~Device() {
  stop_heartbeat();
  // After this no callback runs any more, so the state may go.
  ntcan_sim::detach(participant_);
  stop_pdo_timer();
}

// ---------------------------------------------------------------------------
// Frames

CMSG Device::state_frame(uint8_t state_byte) const {
  CMSG m = make(kHeartbeatBase + node_id_, 1);
  m.data[0] = state_byte;
  return m;
}

CMSG Device::abort_frame(uint16_t index, uint8_t subindex, uint32_t code) const {
  CMSG m = make(kSdoResponseBase + node_id_, 8);
  m.data[0] = 0x80;
  m.data[1] = static_cast<uint8_t>(index & 0xFF);
  m.data[2] = static_cast<uint8_t>(index >> 8);
  m.data[3] = subindex;
  for (int i = 0; i < 4; ++i) m.data[4 + i] = static_cast<uint8_t>(code >> (8 * i));
  return m;
}

CMSG Device::emergency_frame(uint16_t code, uint8_t reg,
                             const std::array<uint8_t, 5>& manufacturer) const {
  CMSG m = make(kEmergencyBase + node_id_, 8);
  m.data[0] = static_cast<uint8_t>(code & 0xFF);
  m.data[1] = static_cast<uint8_t>(code >> 8);
  m.data[2] = reg;
  std::copy(manufacturer.begin(), manufacturer.end(), m.data + 3);
  return m;
}

void Device::send(const std::vector<CMSG>& frames) {
  for (const CMSG& m : frames) {
    ntcan_sim::inject(net_, m, name_);
    ++frames_sent_;
  }
}

// ---------------------------------------------------------------------------
// Receiving

void Device::on_frame(const CMSG& m) {
  const bool rtr = (m.len & NTCAN_RTR) != 0;
  const int dlc = m.len & NTCAN_DLC_MASK;
  std::vector<CMSG> out;
  int heartbeat_change = -1;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (m.id == kSdoRequestBase + node_id_ && !rtr) ++sdo_requests_;
    if (silence_ == Silence::All) return;

    if (m.id == kNmtId && !rtr && dlc == 2 && (m.data[1] == 0 || m.data[1] == node_id_)) {
      switch (m.data[0]) {
        case kNmtStart: state_ = NmtState::Operational; break;
        case kNmtStop: state_ = NmtState::Stopped; break;
        case kNmtEnterPreOperational: state_ = NmtState::PreOperational; break;
        case kNmtResetNode: reset_locked(out); break;
        case kNmtResetCommunication: reset_locked(out, true); break;
        default: break;
      }
    } else if (m.id == kHeartbeatBase + node_id_ && rtr) {
      // Node guarding: the state with the toggle in bit 7.
      out.push_back(state_frame(static_cast<uint8_t>(static_cast<uint8_t>(state_) |
                                                     (guard_toggle_ << 7))));
      guard_toggle_ ^= 1;
    } else if (m.id == kSdoRequestBase + node_id_ && !rtr && dlc == 8 &&
               state_ != NmtState::Stopped && silence_ != Silence::Sdo) {
      std::vector<CMSG> answers;
      if (!block_answer_locked(m, answers))
        if (std::optional<CMSG> answer = sdo_answer_locked(m)) answers.push_back(*answer);
      if (chatter_ && !answers.empty()) {
        out.push_back(state_frame(static_cast<uint8_t>(state_)));
        out.push_back(emergency_frame(kChatterErrorCode, kChatterErrorRegister, {}));
      }
      out.insert(out.end(), answers.begin(), answers.end());
    } else {
      pdo_frame_locked(m, out);
    }
    heartbeat_change = std::exchange(heartbeat_change_, -1);
  }
  send(out);
  // After the answer, as a node answers first and then acts on the value.
  if (heartbeat_change >= 0) apply_heartbeat_time(heartbeat_change);
  follow_pdo_timer();
}

void Device::apply_heartbeat_time(int period_ms) {
  if (period_ms > 0)
    start_heartbeat(period_ms);
  else
    stop_heartbeat();
}

void Device::reset_locked(std::vector<CMSG>& out, bool communication_only) {
  transfer_ = Transfer{};
  block_ = Block{};
  reload_parameters_locked(communication_only);
  pdo_reset_locked();
  guard_toggle_ = 0;
  state_ = NmtState::PreOperational;
  out.push_back(state_frame(0x00));
}

std::optional<CMSG> Device::sdo_answer_locked(const CMSG& request) {
  const uint16_t index = static_cast<uint16_t>(request.data[1] | (request.data[2] << 8));
  const uint8_t subindex = request.data[3];
  switch (request.data[0] >> 5) {
    case kCsInitiateUpload: {
      transfer_ = Transfer{};
      uint32_t code = 0;
      const Entry* entry = entry_locked(index, subindex, &code);
      if (!entry) return abort_frame(index, subindex, code);
      if (entry->access == Access::WriteOnly) return abort_frame(index, subindex, kAbortWriteOnly);
      const std::string& data = entry->bytes;
      CMSG m = make(kSdoResponseBase + node_id_, 8);
      m.data[1] = request.data[1];
      m.data[2] = request.data[2];
      m.data[3] = subindex;
      if (!data.empty() && data.size() <= 4) {
        // Expedited, size indicated: n = bytes of the four that hold no data.
        m.data[0] = static_cast<uint8_t>(0x43 | ((4 - data.size()) << 2));
        std::copy(data.begin(), data.end(), m.data + 4);
        return m;
      }
      m.data[0] = 0x41;  // segmented, size indicated
      const auto size = static_cast<uint32_t>(data.size());
      for (int i = 0; i < 4; ++i) m.data[4 + i] = static_cast<uint8_t>(size >> (8 * i));
      transfer_.active = true;
      transfer_.index = index;
      transfer_.subindex = subindex;
      transfer_.data = data;
      return m;
    }
    case kCsSegmentUpload:
      return segment_answer_locked(request);
    case kCsInitiateDownload:
      return initiate_download_locked(request);
    case kCsDownloadSegment:
      return download_segment_locked(request);
    case kCsAbort:
      transfer_ = Transfer{};
      return std::nullopt;
    default:
      transfer_ = Transfer{};
      return abort_frame(index, subindex, kAbortUnknownCommand);
  }
}

Device::Entry* Device::entry_locked(uint16_t index, uint8_t subindex, uint32_t* code) {
  const auto it = objects_.find({index, subindex});
  if (it != objects_.end()) return &it->second;
  const auto next = objects_.lower_bound({index, 0});
  *code = next != objects_.end() && next->first.first == index ? kAbortNoSuchSubindex : kAbortNoSuchObject;
  return nullptr;
}

uint32_t Device::write_locked(uint16_t index, uint8_t subindex, Entry& entry, std::string bytes) {
  bool handled = false;
  const uint32_t special = special_write_locked(index, subindex, bytes, &handled);
  if (handled) return special;
  if (entry.fixed_length && bytes.size() != entry.bytes.size()) return kAbortLengthMismatch;
  if (index == kErrorHistoryIndex) return write_error_history_locked(subindex, bytes);
  if (const auto check = checks_.find({index, subindex}); check != checks_.end()) {
    if (const uint32_t refused = check->second(bytes)) return refused;
  }
  if (const uint32_t code = pdo_parameter_check_locked(index, subindex, bytes)) return code;
  if (index == kHeartbeatTimeIndex && subindex == 0) {
    // An entry given more bytes by set_object may take a period the
    // producer cannot keep: refused, nothing stored.
    const uint32_t ms = le_u32(bytes);
    if (ms > static_cast<uint32_t>(kMaxHeartbeatMs)) return kAbortValueTooHigh;
    heartbeat_change_ = static_cast<int>(ms);
  }
  defaults_.emplace(Key{index, subindex}, entry.bytes);  // a reset brings it back
  entry.bytes = std::move(bytes);
  return 0;
}

int Device::answer_toggle_locked() const {
  const bool wrong = wrong_toggle_after_ >= 0 && transfer_.segments >= wrong_toggle_after_;
  return wrong ? transfer_.toggle ^ 1 : transfer_.toggle;
}

std::optional<CMSG> Device::abort_due_locked() {
  if (abort_after_ < 0 || transfer_.segments < abort_after_) return std::nullopt;
  const CMSG m = abort_frame(transfer_.index, transfer_.subindex, abort_code_);
  transfer_ = Transfer{};
  return m;
}

CMSG Device::initiate_download_locked(const CMSG& request) {
  transfer_ = Transfer{};
  const uint16_t index = static_cast<uint16_t>(request.data[1] | (request.data[2] << 8));
  const uint8_t subindex = request.data[3];
  const uint8_t b0 = request.data[0];
  uint32_t code = 0;
  Entry* entry = entry_locked(index, subindex, &code);
  if (!entry) return abort_frame(index, subindex, code);
  if (entry->access == Access::ReadOnly) return abort_frame(index, subindex, kAbortReadOnly);
  if (b0 & 0x02) {  // expedited: 4 - n bytes with s, else all four
    const std::size_t n = (b0 & 0x01) ? 4 - ((b0 >> 2) & 3) : 4;
    code = write_locked(index, subindex, *entry, std::string(request.data + 4, request.data + 4 + n));
    if (code) return abort_frame(index, subindex, code);
  } else {
    const int64_t size = (b0 & 0x01) ? le_u32(request.data + 4, 4) : -1;
    if (size >= 0 && entry->fixed_length && static_cast<std::size_t>(size) != entry->bytes.size())
      return abort_frame(index, subindex, kAbortLengthMismatch);
    transfer_.active = true;
    transfer_.download = true;
    transfer_.index = index;
    transfer_.subindex = subindex;
    transfer_.size = size;
  }
  CMSG m = make(kSdoResponseBase + node_id_, 8);
  m.data[0] = 0x60;
  std::copy(request.data + 1, request.data + 4, m.data + 1);
  return m;
}

CMSG Device::download_segment_locked(const CMSG& request) {
  Transfer& t = transfer_;
  if (!t.active || !t.download) return abort_frame(0, 0, kAbortGeneralError);
  if (((request.data[0] >> 4) & 1) != t.toggle) {
    const CMSG m = abort_frame(t.index, t.subindex, kAbortToggleNotAlternated);
    t = Transfer{};
    return m;
  }
  if (std::optional<CMSG> abort = abort_due_locked()) return *abort;
  const std::size_t n = 7 - ((request.data[0] >> 1) & 7);
  const bool last = request.data[0] & 0x01;
  t.data.append(request.data + 1, request.data + 1 + n);
  uint32_t code = 0;
  if (t.size >= 0 && (t.data.size() > static_cast<std::size_t>(t.size) ||
                      (last && t.data.size() != static_cast<std::size_t>(t.size)))) {
    code = kAbortLengthMismatch;
  } else if (last) {
    Entry* entry = entry_locked(t.index, t.subindex, &code);
    if (entry) code = write_locked(t.index, t.subindex, *entry, std::move(t.data));
  }
  if (code) {
    const CMSG m = abort_frame(t.index, t.subindex, code);
    t = Transfer{};
    return m;
  }
  CMSG m = make(kSdoResponseBase + node_id_, 8);
  m.data[0] = static_cast<uint8_t>(0x20 | (answer_toggle_locked() << 4));
  t.toggle ^= 1;
  ++t.segments;
  if (last) t = Transfer{};
  return m;
}

CMSG Device::segment_answer_locked(const CMSG& request) {
  Transfer& t = transfer_;
  if (!t.active || t.download) return abort_frame(0, 0, kAbortGeneralError);
  const int toggle = (request.data[0] >> 4) & 1;
  if (toggle != t.toggle) {
    const CMSG m = abort_frame(t.index, t.subindex, kAbortToggleNotAlternated);
    t = Transfer{};
    return m;
  }
  if (std::optional<CMSG> abort = abort_due_locked()) return *abort;

  CMSG m = make(kSdoResponseBase + node_id_, 8);
  std::size_t n = 0;
  bool last = false;
  if (t.pos < t.data.size()) {
    n = std::min<std::size_t>(7, t.data.size() - t.pos);
    std::copy_n(t.data.begin() + static_cast<std::ptrdiff_t>(t.pos), n, m.data + 1);
    t.pos += n;
    last = t.pos == t.data.size() && !never_last_;
  } else if (never_last_) {
    n = 7;
    std::fill_n(m.data + 1, n, kFillerByte);
  } else {
    last = true;  // an empty object: one segment without data
  }
  m.data[0] = static_cast<uint8_t>((answer_toggle_locked() << 4) | ((7 - n) << 1) | (last ? 1 : 0));
  t.toggle ^= 1;
  ++t.segments;
  if (last) t = Transfer{};
  return m;
}

// ---------------------------------------------------------------------------
// NMT state and spontaneous frames

NmtState Device::state() const {
  std::lock_guard<std::mutex> lock(mu_);
  return state_;
}

void Device::set_state(NmtState s) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    state_ = s;
  }
  follow_pdo_timer();
}

void Device::reboot() {
  std::vector<CMSG> out;
  int heartbeat_change = -1;
  {
    std::lock_guard<std::mutex> lock(mu_);
    reset_locked(out);
    if (silence_ == Silence::All) out.clear();
    heartbeat_change = std::exchange(heartbeat_change_, -1);
  }
  send(out);
  if (heartbeat_change >= 0) apply_heartbeat_time(heartbeat_change);
  follow_pdo_timer();
}

bool Device::send_heartbeat() {
  CMSG m;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (silence_ == Silence::All) return false;
    m = state_frame(static_cast<uint8_t>(state_));
  }
  send({m});
  return true;
}

bool Device::send_emergency(uint16_t error_code, uint8_t error_register,
                            const std::array<uint8_t, 5>& manufacturer) {
  CMSG m;
  {
    std::lock_guard<std::mutex> lock(mu_);
    const uint8_t held = record_error_locked(error_code, error_register, manufacturer);
    if (silence_ == Silence::All || state_ == NmtState::Stopped) return false;
    m = emergency_frame(error_code, held, manufacturer);
  }
  send({m});
  return true;
}

// ---------------------------------------------------------------------------
// Heartbeat producer

void Device::run_producer(std::shared_ptr<Producer> p) {
  const int seconds = p->period_ms / 1000;
  const int micros = (p->period_ms % 1000) * 1000;
  for (;;) {
    TELVOsleep(seconds, micros);
    Device* device = nullptr;
    {
      std::lock_guard<std::mutex> lock(p->mu);
      if (p->stop) return;
      p->sending = true;
      device = p->device;
    }
    p->action(*device);
    {
      std::lock_guard<std::mutex> lock(p->mu);
      p->sending = false;
    }
    p->idle.notify_all();
  }
}

void Device::stop_producer(const std::shared_ptr<Producer>& p) {
  std::unique_lock<std::mutex> lock(p->mu);
  p->stop = true;
  // A stop from the producer's own thread (a callback its heartbeat set off)
  // must not wait for itself.
  if (p->worker != std::this_thread::get_id()) {
    p->idle.wait(lock, [&p] { return !p->sending; });
  }
}

std::shared_ptr<Device::Producer> Device::start_producer(int period_ms, void (*action)(Device&)) {
  auto p = std::make_shared<Producer>();
  p->device = this;
  p->period_ms = period_ms;
  p->action = action;
  // Held until the worker id is recorded; the thread takes it only after
  // its first sleep.
  std::lock_guard<std::mutex> lock(p->mu);
  std::thread t(&Device::run_producer, p);
  p->worker = t.get_id();
  t.detach();
  return p;
}

void Device::start_heartbeat(int period_ms) {
  if (period_ms <= 0 || period_ms > kMaxHeartbeatMs) {
    throw std::invalid_argument("canopen_sim::Device: heartbeat period outside 1..65535 ms");
  }
  stop_heartbeat();
  auto p = start_producer(period_ms, [](Device& d) { d.send_heartbeat(); });
  std::shared_ptr<Producer> old;
  {
    std::lock_guard<std::mutex> lock(mu_);
    old = std::exchange(producer_, p);
    objects_[{kHeartbeatTimeIndex, 0}].bytes = le_bytes(static_cast<uint32_t>(period_ms), 2);
  }
  if (old) stop_producer(old);  // a concurrent start got in between
}

void Device::stop_heartbeat() {
  std::shared_ptr<Producer> p;
  {
    std::lock_guard<std::mutex> lock(mu_);
    p = std::move(producer_);
    producer_.reset();
  }
  if (p) stop_producer(p);
}

bool Device::heartbeat_running() const {
  std::lock_guard<std::mutex> lock(mu_);
  return producer_ != nullptr;
}

// ---------------------------------------------------------------------------
// Object dictionary, misbehaviour, inspection

void Device::set_object(uint16_t index, uint8_t subindex, std::string bytes) {
  std::lock_guard<std::mutex> lock(mu_);
  objects_[{index, subindex}].bytes = std::move(bytes);
  forget_parameter_locked({index, subindex});
}

void Device::define_object(uint16_t index, uint8_t subindex, std::string bytes, Access access, bool fixed_length) {
  std::lock_guard<std::mutex> lock(mu_);
  objects_[{index, subindex}] = Entry{std::move(bytes), access, fixed_length};
  checks_.erase({index, subindex});
  forget_parameter_locked({index, subindex});
}

void Device::define_object(uint16_t index, uint8_t subindex, std::string bytes, Access access, bool fixed_length,
                           ValueCheck check) {
  std::lock_guard<std::mutex> lock(mu_);
  objects_[{index, subindex}] = Entry{std::move(bytes), access, fixed_length};
  checks_[{index, subindex}] = std::move(check);
  forget_parameter_locked({index, subindex});
}

void Device::remove_object(uint16_t index, uint8_t subindex) {
  std::lock_guard<std::mutex> lock(mu_);
  objects_.erase({index, subindex});
  checks_.erase({index, subindex});
}

std::optional<std::string> Device::object(uint16_t index, uint8_t subindex) const {
  std::lock_guard<std::mutex> lock(mu_);
  const auto it = objects_.find({index, subindex});
  if (it == objects_.end()) return std::nullopt;
  return it->second.bytes;
}

void Device::set_silence(Silence s) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    silence_ = s;
  }
  follow_pdo_timer();
}

void Device::set_wrong_toggle_after(int k) {
  std::lock_guard<std::mutex> lock(mu_);
  wrong_toggle_after_ = k;
}

void Device::set_abort_after(int k, uint32_t code) {
  std::lock_guard<std::mutex> lock(mu_);
  abort_after_ = k;
  abort_code_ = code;
}

void Device::set_never_last_segment(bool on) {
  std::lock_guard<std::mutex> lock(mu_);
  never_last_ = on;
}

void Device::set_chatter(bool on) {
  std::lock_guard<std::mutex> lock(mu_);
  chatter_ = on;
}

void Device::clear_misbehaviour() {
  std::lock_guard<std::mutex> lock(mu_);
  silence_ = Silence::None;
  wrong_toggle_after_ = -1;
  abort_after_ = -1;
  abort_code_ = kAbortGeneralError;
  never_last_ = false;
  chatter_ = false;
  block_fault_ = BlockFault::None;
}

uint64_t Device::sdo_requests() const { return sdo_requests_.load(); }
uint64_t Device::frames_sent() const { return frames_sent_.load(); }

int Device::guard_toggle() const {
  std::lock_guard<std::mutex> lock(mu_);
  return guard_toggle_;
}

bool Device::transfer_in_progress() const {
  std::lock_guard<std::mutex> lock(mu_);
  return transfer_.active || block_.phase != Block::Phase::Idle;
}

}  // namespace canopen_sim
