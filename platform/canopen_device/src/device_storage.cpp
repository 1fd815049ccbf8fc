// The simulated node's parameters across resets (store parameters 0x1010,
// restore defaults 0x1011) and its program download objects (0x1F50,
// 0x1F51, 0x1F56).
#include "canopen_device.h"
#include "device_bytes.h"

namespace canopen_sim {

namespace {

constexpr uint8_t kGroups = 4;  // all, communication, application, manufacturer
constexpr uint8_t kProgram = 1;
constexpr char kStopped = 0;
constexpr char kRunning = 1;


bool communication(uint16_t index) { return index >= 0x1000 && index <= 0x1FFF; }

// Whether group `group` of 0x1010 / 0x1011 covers the entry at `index`.
bool in_group(uint8_t group, uint16_t index) {
  switch (group) {
    case 1: return true;
    case 2: return communication(index);
    case 3: return index >= 0x6000 && index <= 0x9FFF;
    default: return index >= 0x2000 && index <= 0x5FFF;
  }
}

// The storage and program objects themselves are no parameters.
bool parameter(uint16_t index) {
  return index != kStoreParametersIndex && index != kRestoreDefaultsIndex && (index < 0x1F50 || index > 0x1F5F);
}

}  // namespace

void Device::define_storage_locked(bool program_download) {
  for (const uint16_t index : {kStoreParametersIndex, kRestoreDefaultsIndex}) {
    objects_[{index, 0}] = Entry{std::string(1, static_cast<char>(kGroups)), Access::ReadOnly, true};
    for (uint8_t group = 1; group <= kGroups; ++group)
      objects_[{index, group}] = Entry{wire::le_bytes(1, 4), Access::ReadWrite, true};
  }
  if (!program_download) return;
  objects_[{kProgramDataIndex, kProgram}] = Entry{"", Access::ReadWrite, false};
  objects_[{kProgramControlIndex, kProgram}] = Entry{std::string(1, kStopped), Access::ReadWrite, true};
  objects_[{kProgramIdentificationIndex, kProgram}] = Entry{wire::le_bytes(0, 4), Access::ReadOnly, true};
}

uint32_t Device::special_write_locked(uint16_t index, uint8_t subindex, const std::string& bytes, bool* handled) {
  *handled = true;
  if ((index == kStoreParametersIndex || index == kRestoreDefaultsIndex) && subindex >= 1 && subindex <= kGroups) {
    if (bytes.size() != 4) return kAbortLengthMismatch;
    const bool store = index == kStoreParametersIndex;
    if (wire::le_u32(bytes) != (store ? kSaveSignature : kLoadSignature)) return kAbortCannotStore;
    if (store) {
      for (const auto& [key, entry] : objects_)
        if (entry.access == Access::ReadWrite && parameter(key.first) && in_group(subindex, key.first))
          stored_[key] = entry.bytes;
    } else {
      for (auto it = stored_.begin(); it != stored_.end();)
        it = in_group(subindex, it->first.first) ? stored_.erase(it) : std::next(it);
    }
    return 0;
  }
  const auto control = objects_.find({kProgramControlIndex, kProgram});
  if (subindex != kProgram || control == objects_.end()) {
    *handled = false;
    return 0;
  }
  std::string& state = control->second.bytes;
  std::string& image = objects_[{kProgramDataIndex, kProgram}].bytes;
  std::string& identification = objects_[{kProgramIdentificationIndex, kProgram}].bytes;
  if (index == kProgramDataIndex) {
    if (state[0] == kRunning) return kAbortDeviceState;
    image = bytes;
    identification = wire::le_bytes(block_crc(image), 4);
    return 0;
  }
  if (index != kProgramControlIndex) {
    *handled = false;
    return 0;
  }
  if (bytes.size() != 1) return kAbortLengthMismatch;
  switch (bytes[0]) {
    case 0: state[0] = kStopped; return 0;
    case 1:
      if (image.empty()) return kAbortDeviceState;
      state[0] = kRunning;
      return 0;
    case 3:
      if (state[0] == kRunning) return kAbortDeviceState;
      image.clear();
      identification = wire::le_bytes(0, 4);
      return 0;
    default: return kAbortDeviceState;
  }
}

void Device::reload_parameters_locked(bool communication_only) {
  // Only entries downloaded since they were defined can differ from what a
  // reset loads.
  for (const auto& [key, default_bytes] : defaults_) {
    if (communication_only && !communication(key.first)) continue;
    const auto entry = objects_.find(key);
    if (entry == objects_.end()) continue;
    const auto stored = stored_.find(key);
    const std::string& bytes = stored != stored_.end() ? stored->second : default_bytes;
    if (entry->second.bytes == bytes) continue;
    entry->second.bytes = bytes;
    if (key == Key{kHeartbeatTimeIndex, 0}) heartbeat_change_ = static_cast<int>(wire::le_u32(bytes) & 0xFFFF);
  }
}

void Device::forget_parameter_locked(const Key& key) {
  defaults_.erase(key);
  stored_.erase(key);
}

}  // namespace canopen_sim
