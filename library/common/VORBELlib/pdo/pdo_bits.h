// The bits of a PDO frame as one 64-bit word, and an entry's bits as a
// value. Internal to the library.
#ifndef VORBEL_PDO_BITS_H
#define VORBEL_PDO_BITS_H

#include <cstdint>
#include <cstring>

#include "vorbel_pdo.h"

namespace vorbel {

inline uint64_t bit_mask(int bits) { return bits >= 64 ? ~uint64_t{0} : (uint64_t{1} << bits) - 1; }

// Eight data bytes, little-endian: byte 0 holds bits 0..7 of a PDO.
inline uint64_t load_le(const unsigned char (&data)[8]) { return PdoReceiver::frame_word(data); }

inline void store_le(uint64_t w, unsigned char (&data)[8]) {
  for (int i = 0; i < 8; ++i) data[i] = static_cast<unsigned char>(w >> (8 * i));
}

// The bits of an entry, taken from the frame's word.
inline uint64_t entry_bits(const PdoMapping& m, int i, uint64_t word) {
  return (word >> m.offset(i)) & bit_mask(m[i].bits);
}

// An entry's bits as a value of its type.
PdoValue value_of(const PdoEntry& e, uint64_t raw);

}  // namespace vorbel

#endif  // VORBEL_PDO_BITS_H
