// Entries' bytes as numbers and back, little-endian as on the bus, and the
// SDO command specifier every server step shares. Internal to the simulated
// device.
#ifndef CANOPEN_SIM_DEVICE_BYTES_H
#define CANOPEN_SIM_DEVICE_BYTES_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace canopen_sim {
namespace wire {

constexpr int kCsAbort = 4;  // command specifier of an abort, the upper three bits

// Replace the first (up to) eight bytes of an entry by v.
inline void le_write(std::string& b, uint64_t v) {
  for (std::size_t i = 0; i < b.size() && i < 8; ++i) b[i] = static_cast<char>(v >> (8 * i));
}

// v as an entry of n bytes.
inline std::string le_bytes(uint64_t v, std::size_t n) {
  std::string b(n, '\0');
  le_write(b, v);
  return b;
}

// The first (up to) eight bytes of an entry.
inline uint64_t le_read(const std::string& b) {
  uint64_t v = 0;
  for (std::size_t i = b.size() < 8 ? b.size() : 8; i-- > 0;) v = v << 8 | static_cast<uint8_t>(b[i]);
  return v;
}

// The first (up to) four of n bytes.
inline uint32_t le_u32(const uint8_t* p, std::size_t n) {
  uint32_t v = 0;
  for (std::size_t i = 0; i < n && i < 4; ++i) v |= static_cast<uint32_t>(p[i]) << (8 * i);
  return v;
}
inline uint32_t le_u32(const std::string& b) { return le_u32(reinterpret_cast<const uint8_t*>(b.data()), b.size()); }

}  // namespace wire
}  // namespace canopen_sim

#endif  // CANOPEN_SIM_DEVICE_BYTES_H
