// The node registry and the receive buffers of registered nodes. Internal to
// the library.
#ifndef VORBEL_NODE_REGISTRY_H
#define VORBEL_NODE_REGISTRY_H

#include <vector>

#include "D_vorbel.h"

namespace vorbel {

// Registered master nodes in order of registration; changed and read only
// under D_can::mx_loop. The pointers own nothing.
std::vector<D_can*>& can_list();

constexpr int kRxBufferFrames = 100;

// The objects a master shares with its followers. Blocks are never freed
// (followers may still point into them) but stay reachable for the life of
// the process.
struct RxBuffers {
  CMSG frames[kRxBufferFrames];
  int status;
  int32_t count;
  int alive;
};
RxBuffers* new_rx_buffers();
// An alive cell of its own for a node that is not registered.
int* new_alive_cell();

// The node's status word and frame count are written by the polling thread
// and by the device code's receive calls: they are accessed atomically.
inline void store_word(int* p, int v) { __atomic_store_n(p, v, __ATOMIC_RELAXED); }
inline int load_word(const int* p) { return __atomic_load_n(p, __ATOMIC_RELAXED); }

}  // namespace vorbel

#endif  // VORBEL_NODE_REGISTRY_H
