// The simulated node's error register 0x1001 and its error history 0x1003,
// which its emergencies fill.
#include <algorithm>

#include "canopen_device.h"
#include "device_bytes.h"

namespace canopen_sim {

namespace {

// An entry's value (its first 4 bytes, little-endian); 0 for an entry that
// is missing or empty, as a test may leave it.
template <class Objects>
uint32_t value_of(const Objects& objects, uint16_t index, int subindex) {
  const auto it = objects.find({index, static_cast<uint8_t>(subindex)});
  return it == objects.end() ? 0 : wire::le_u32(it->second.bytes);
}

}  // namespace

void Device::define_error_objects_locked() {
  objects_[{kErrorRegisterIndex, 0}] = Entry{wire::le_bytes(0, 1), Access::ReadOnly, true};
  objects_[{kErrorHistoryIndex, 0}] = Entry{wire::le_bytes(0, 1), Access::ReadWrite, true};
}

uint8_t Device::record_error_locked(uint16_t code, uint8_t reg, const std::array<uint8_t, 5>& manufacturer) {
  const bool error = (code & 0xFF00) != 0;  // 0x00xx: error reset or no error
  if (error || reg != 0) reg |= kGenericErrorBit;
  objects_[{kErrorRegisterIndex, 0}].bytes = wire::le_bytes(reg, 1);
  if (!error) return reg;

  // The newest at subindex 1; the others move up one, the oldest beyond the
  // depth goes.
  const int count = std::min(static_cast<int>(value_of(objects_, kErrorHistoryIndex, 0) & 0xFF) + 1,
                             kErrorHistoryDepth);
  for (int sub = count; sub > 1; --sub)
    objects_[{kErrorHistoryIndex, static_cast<uint8_t>(sub)}] =
        Entry{wire::le_bytes(value_of(objects_, kErrorHistoryIndex, sub - 1), 4), Access::ReadOnly, true};
  const uint32_t info = static_cast<uint32_t>(manufacturer[0] | (manufacturer[1] << 8));
  objects_[{kErrorHistoryIndex, 1}] = Entry{wire::le_bytes(code | (info << 16), 4), Access::ReadOnly, true};
  objects_[{kErrorHistoryIndex, 0}].bytes = wire::le_bytes(static_cast<uint32_t>(count), 1);
  return reg;
}

uint32_t Device::write_error_history_locked(uint8_t subindex, const std::string& bytes) {
  // Only 0 is taken, at subindex 0 (the entries are read-only): it clears.
  if (subindex != 0 || bytes != wire::le_bytes(0, 1)) return kAbortValueRange;
  for (int sub = 1; sub <= 0xFF; ++sub) objects_.erase({kErrorHistoryIndex, static_cast<uint8_t>(sub)});
  objects_[{kErrorHistoryIndex, 0}].bytes = bytes;
  return 0;
}

uint8_t Device::error_register() const {
  std::lock_guard<std::mutex> lock(mu_);
  return static_cast<uint8_t>(value_of(objects_, kErrorRegisterIndex, 0));
}

std::vector<uint32_t> Device::error_history() const {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<uint32_t> out;
  const int count = static_cast<int>(value_of(objects_, kErrorHistoryIndex, 0) & 0xFF);
  for (int sub = 1; sub <= count; ++sub) out.push_back(value_of(objects_, kErrorHistoryIndex, sub));
  return out;
}

}  // namespace canopen_sim
