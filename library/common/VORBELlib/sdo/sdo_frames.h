// The SDO server's answers as the client takes them, for transfers in either
// direction. Internal to the library.
#ifndef VORBEL_SDO_FRAMES_H
#define VORBEL_SDO_FRAMES_H

#include <cstdint>

#include "ntcan.h"

namespace vorbel {

// An answer of node `node`'s SDO server: a data frame on 0x580 + node with
// at least its command byte. Only the bytes the frame carries count.
struct SdoAnswer {
  uint8_t command = 0;
  const uint8_t* data = nullptr;  // data[0] is the command byte
  int length = 0;                 // 1..8
};

inline bool sdo_answer(const CMSG& m, int node, SdoAnswer* a) {
  const int length = m.len & 0x0F;
  if (m.id != 0x580 + node || (m.len & 0x10) || length < 1) return false;  // remote requests carry no data
  a->command = m.data[0];
  a->data = m.data;
  a->length = length < 8 ? length : 8;
  return true;
}

// The answer names the object (index, subindex) of the request, as it went
// out: bytes 1-2 the index low byte first, byte 3 the subindex.
inline bool names_entry(const SdoAnswer& a, int index, int subindex) {
  return a.length >= 4 && a.data[1] == (index & 0xFF) && a.data[2] == ((index >> 8) & 0xFF) &&
         a.data[3] == (subindex & 0xFF);
}

// An initiate upload answer (command 0x4_) that carries what it claims: an
// expedited value of at least one byte within the frame's length, or none
// (segments follow).
inline bool initiate_upload_whole(const SdoAnswer& a) {
  const uint8_t c = a.command;
  if (!(c & 0x02)) return true;
  const int size = (c & 0x01) ? 4 - ((c >> 2) & 3) : a.length - 4;
  return size >= 1 && a.length >= 4 + size;
}

// Four bytes of an SDO frame as the 32-bit value they carry, low byte first.
inline uint32_t le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

// An abort of the transfer of (index, subindex), with its 32-bit code.
inline bool sdo_abort(const SdoAnswer& a, int index, int subindex, uint32_t* code) {
  if ((a.command & 0xF0) != 0x80 || a.length < 8 || !names_entry(a, index, subindex)) return false;
  *code = le32(a.data + 4);
  return true;
}

}  // namespace vorbel

#endif  // VORBEL_SDO_FRAMES_H
