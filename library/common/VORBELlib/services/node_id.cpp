// Node ids in the CANopen services: a node id outside 1..127 (NMT: 0..127)
// would put the service's identifier on another node's (0x600 + 300 is node
// 44's heartbeat), so every service refuses it before anything is sent.
#include "D_vorbel.h"
#include "line/line_log.h"

// id_refusals_ holds the bad id logged last (high 32 bits) and a bit per
// service that logged it (low bits). The recognisers run every turn of the
// server loop: a bad id is logged once per node and service, again only when
// another bad id has been refused in between.
int D_can::refuse_node_id(int id, int lowest, unsigned service, const char* origin) {
  const uint64_t key = static_cast<uint64_t>(static_cast<uint32_t>(id)) << 32;
  uint64_t seen = id_refusals_.load(std::memory_order_relaxed);
  for (;;) {
    const bool same_id = (seen & ~uint64_t{0xFFFFFFFF}) == key;
    if (same_id && (seen & service)) return NTCAN_INVALID_PARAMETER;
    const uint64_t next = (same_id ? seen : key) | service;
    if (id_refusals_.compare_exchange_weak(seen, next, std::memory_order_relaxed)) break;
  }
  vorbel::log(origin, basename() + ": node id " + std::to_string(id) + " outside " + std::to_string(lowest) +
                          "..127, refused");
  return NTCAN_INVALID_PARAMETER;
}
