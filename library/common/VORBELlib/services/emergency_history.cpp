// A node's error history, the pre-defined error field 0x1003, read and
// cleared through the node's SDO client.
#include "vorbel_emergency.h"

namespace vorbel {

namespace {

constexpr int kErrorHistoryIndex = 0x1003;

}  // namespace

int read_error_history(D_can& node, std::vector<ErrorHistoryEntry>* entries) {
  if (!entries) return NTCAN_INVALID_PARAMETER;
  entries->clear();
  unsigned char value[4] = {};
  int len = 0;
  int ret = node.sdo_upload(kErrorHistoryIndex, 0, value, sizeof value, &len);
  if (ret != 0) return ret;
  if (len < 1) return -1;
  const int count = value[0];
  entries->reserve(static_cast<size_t>(count));
  for (int sub = 1; sub <= count; ++sub) {
    ret = node.sdo_upload(kErrorHistoryIndex, sub, value, sizeof value, &len);
    if (ret != 0) return ret;
    uint32_t v = 0;
    for (int i = 0; i < len; ++i) v |= static_cast<uint32_t>(value[i]) << (8 * i);
    entries->push_back({static_cast<uint16_t>(v & 0xFFFF), static_cast<uint16_t>(v >> 16)});
  }
  return 0;
}

int clear_error_history(D_can& node) {
  const unsigned char zero = 0;
  return node.sdo_download(kErrorHistoryIndex, 0, &zero, 1);
}

}  // namespace vorbel
