// Store parameters (0x1010) and restore defaults (0x1011): the signature
// written to the subindex of the group asks the node to act.
#include "D_vorbel.h"

namespace vorbel {

namespace {

constexpr int kStoreParameters = 0x1010;
constexpr int kRestoreDefaults = 0x1011;
// The signatures, as the node reads the four bytes: "save" and "load".
constexpr unsigned char kSave[4] = {'s', 'a', 'v', 'e'};
constexpr unsigned char kLoad[4] = {'l', 'o', 'a', 'd'};

int write_signature(D_can& node, int index, int group, const unsigned char* signature) {
  if (group < 1 || group > 127) return NTCAN_INVALID_PARAMETER;
  return node.sdo_download(index, group, signature, 4);
}

}  // namespace

int store_parameters(D_can& node, int group) { return write_signature(node, kStoreParameters, group, kSave); }

int restore_defaults(D_can& node, int group) { return write_signature(node, kRestoreDefaults, group, kLoad); }

}  // namespace vorbel
