// The CANopen services that check node ids, one bit each for the log of
// refusals (D_can::check_node_id). Internal to the library.
#ifndef VORBEL_NODE_ID_H
#define VORBEL_NODE_ID_H

namespace vorbel {

enum NodeIdService : unsigned {
  kNmtService = 1u << 0,
  kSdoService = 1u << 1,
  kGuardingService = 1u << 2,
  kEmergencyInit = 1u << 3,
  kEmergencyService = 1u << 4,
  kIdentityService = 1u << 5,
  kAliveService = 1u << 6,
  kSuperviseService = 1u << 7,
};

}  // namespace vorbel

#endif  // VORBEL_NODE_ID_H
