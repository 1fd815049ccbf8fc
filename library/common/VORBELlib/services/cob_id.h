// CANopen identifiers of a node. Internal to the library.
#ifndef VORBEL_COB_ID_H
#define VORBEL_COB_ID_H

#include <cstdint>

namespace vorbel {

// A base plus the node id, by plain addition. Node ids reach the library
// unchecked (clients may set any address, device code passes any id), so
// the sum is taken as the 32-bit value it is, wrapping, instead of
// overflowing: where the addition fits the result is the same, and a sum
// beyond the 11-bit identifiers is refused by the driver.
inline int32_t cob_id(int32_t base, int32_t node) {
  return static_cast<int32_t>(static_cast<uint32_t>(base) + static_cast<uint32_t>(node));
}

}  // namespace vorbel

#endif  // VORBEL_COB_ID_H
