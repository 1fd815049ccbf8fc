// The simulated CANopen node: NMT state machine, heartbeat producer, node
// guarding, emergencies and the SDO upload server, on a simulated net.
#include "canopen_device.h"

#include <algorithm>
#include <condition_variable>
#include <stdexcept>
#include <thread>

#include "ntcan_sim.h"
#include "telvo.h"

namespace canopen_sim {

namespace {

CMSG make(int32_t id, uint8_t len) {
  CMSG m{};
  m.id = id;
  m.len = len;
  return m;
}

// The SDO command specifier: the upper three bits of byte 0.
constexpr int kCsSegmentUpload = 3;
constexpr int kCsInitiateUpload = 2;
constexpr int kCsAbort = 4;

int checked_node_id(int node_id) {
  if (node_id < 1 || node_id > 127) {
    throw std::invalid_argument("canopen_sim::Device: node id " + std::to_string(node_id) +
                                " outside 1..127");
  }
  return node_id;
}

}  // namespace

// Shared by the device and its heartbeat thread. The thread keeps it alive
// after the device has let go of it, so that a stopped thread can wake at
// any time later and end without touching the device.
struct Device::Producer {
  std::mutex mu;
  std::condition_variable idle;
  bool stop = false;
  bool sending = false;  // the thread is sending through `device`
  std::thread::id worker;
  Device* device = nullptr;  // valid while stop is false
  int period_ms = 0;
};

Device::Device(int net, int node_id, Options options)
    : net_(net),
      node_id_(checked_node_id(node_id)),
      name_(options.name.empty() ? "node " + std::to_string(node_id) : options.name) {
  if (net < 0 || net >= ntcan_sim::kNetCount) {
    throw std::invalid_argument("canopen_sim::Device: no net " + std::to_string(net));
  }
  if (options.heartbeat_ms < 0) {
    throw std::invalid_argument("canopen_sim::Device: negative heartbeat period");
  }
  objects_[{kDeviceNameIndex, 0}] = options.device_name;
  objects_[{kHardwareVersionIndex, 0}] = options.hardware_version;
  objects_[{kSoftwareVersionIndex, 0}] = options.software_version;

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
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (m.id == kSdoRequestBase + node_id_ && !rtr) ++sdo_requests_;
    if (silence_ == Silence::All) return;

    if (m.id == kNmtId && !rtr && dlc == 2 && (m.data[1] == 0 || m.data[1] == node_id_)) {
      switch (m.data[0]) {
        case kNmtStart: state_ = NmtState::Operational; break;
        case kNmtStop: state_ = NmtState::Stopped; break;
        case kNmtEnterPreOperational: state_ = NmtState::PreOperational; break;
        case kNmtResetNode:
        case kNmtResetCommunication: reset_locked(out); break;
        default: break;
      }
    } else if (m.id == kHeartbeatBase + node_id_ && rtr) {
      // Node guarding: the state with the toggle in bit 7.
      out.push_back(state_frame(static_cast<uint8_t>(static_cast<uint8_t>(state_) |
                                                     (guard_toggle_ << 7))));
      guard_toggle_ ^= 1;
    } else if (m.id == kSdoRequestBase + node_id_ && !rtr && dlc == 8 &&
               state_ != NmtState::Stopped && silence_ != Silence::Sdo) {
      if (std::optional<CMSG> answer = sdo_answer_locked(m)) {
        if (chatter_) {
          out.push_back(state_frame(static_cast<uint8_t>(state_)));
          out.push_back(emergency_frame(kChatterErrorCode, kChatterErrorRegister, {}));
        }
        out.push_back(*answer);
      }
    }
  }
  send(out);
}

void Device::reset_locked(std::vector<CMSG>& out) {
  transfer_ = Transfer{};
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
      const auto it = objects_.find({index, subindex});
      if (it == objects_.end()) return abort_frame(index, subindex, kAbortNoSuchObject);
      const std::string& data = it->second;
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
    case kCsAbort:
      transfer_ = Transfer{};
      return std::nullopt;
    default:
      transfer_ = Transfer{};
      return abort_frame(index, subindex, kAbortUnknownCommand);
  }
}

CMSG Device::segment_answer_locked(const CMSG& request) {
  Transfer& t = transfer_;
  if (!t.active) return abort_frame(0, 0, kAbortGeneralError);
  const int toggle = (request.data[0] >> 4) & 1;
  if (toggle != t.toggle) {
    const CMSG m = abort_frame(t.index, t.subindex, kAbortToggleNotAlternated);
    t = Transfer{};
    return m;
  }
  if (abort_after_ >= 0 && t.segments >= abort_after_) {
    const CMSG m = abort_frame(t.index, t.subindex, abort_code_);
    t = Transfer{};
    return m;
  }

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
  const bool wrong = wrong_toggle_after_ >= 0 && t.segments >= wrong_toggle_after_;
  const int sent_toggle = wrong ? t.toggle ^ 1 : t.toggle;
  m.data[0] = static_cast<uint8_t>((sent_toggle << 4) | ((7 - n) << 1) | (last ? 1 : 0));
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
  std::lock_guard<std::mutex> lock(mu_);
  state_ = s;
}

void Device::reboot() {
  std::vector<CMSG> out;
  {
    std::lock_guard<std::mutex> lock(mu_);
    reset_locked(out);
    if (silence_ == Silence::All) out.clear();
  }
  send(out);
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
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (silence_ == Silence::All || state_ == NmtState::Stopped) return false;
  }
  send({emergency_frame(error_code, error_register, manufacturer)});
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
    device->send_heartbeat();
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

void Device::start_heartbeat(int period_ms) {
  if (period_ms <= 0) {
    throw std::invalid_argument("canopen_sim::Device: heartbeat period must be > 0 ms");
  }
  stop_heartbeat();
  auto p = std::make_shared<Producer>();
  p->device = this;
  p->period_ms = period_ms;
  {
    // Held until the worker id is recorded; the thread takes it only after
    // its first sleep.
    std::lock_guard<std::mutex> lock(p->mu);
    std::thread t(&Device::run_producer, p);
    p->worker = t.get_id();
    t.detach();
  }
  std::shared_ptr<Producer> old;
  {
    std::lock_guard<std::mutex> lock(mu_);
    old = std::exchange(producer_, p);
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
  objects_[{index, subindex}] = std::move(bytes);
}

void Device::remove_object(uint16_t index, uint8_t subindex) {
  std::lock_guard<std::mutex> lock(mu_);
  objects_.erase({index, subindex});
}

std::optional<std::string> Device::object(uint16_t index, uint8_t subindex) const {
  std::lock_guard<std::mutex> lock(mu_);
  const auto it = objects_.find({index, subindex});
  if (it == objects_.end()) return std::nullopt;
  return it->second;
}

void Device::set_silence(Silence s) {
  std::lock_guard<std::mutex> lock(mu_);
  silence_ = s;
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
}

uint64_t Device::sdo_requests() const { return sdo_requests_.load(); }
uint64_t Device::frames_sent() const { return frames_sent_.load(); }

int Device::guard_toggle() const {
  std::lock_guard<std::mutex> lock(mu_);
  return guard_toggle_;
}

bool Device::transfer_in_progress() const {
  std::lock_guard<std::mutex> lock(mu_);
  return transfer_.active;
}

}  // namespace canopen_sim
