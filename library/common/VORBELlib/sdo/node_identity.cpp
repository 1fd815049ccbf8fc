// Node identity: the manufacturer device name and the hardware and software
// versions, read by SDO upload and published as text properties.
#include "D_vorbel.h"
#include "services/node_id.h"

namespace {
constexpr int kMaxScan = 10000;
}

int D_can::check_ascii(char* aString) {
  if (!aString) return -1;
  for (int i = 0; i < kMaxScan && aString[i] != '\0'; ++i) {
    const signed char c = static_cast<signed char>(aString[i]);
    if (c < 0x20 || c > 0x7E) {  // control characters, DEL and every byte of 0x80 or more
      aString[i] = '\0';
      return -1;
    }
  }
  return 0;
}

int D_can::read_identity(int index, D_string* target, bool pause_first, const char* origin) {
  // The whole node id is checked: its low 16 bits alone may name another node.
  const int node_id = current_node_id();
  if (const int refused = check_node_id(node_id, 1, vorbel::kIdentityService, origin)) {
    target->copy_value("error");
    return refused;
  }
  if (pause_first) TELVOsleep(0, 100000);
  char buffer[64] = {};
  const int ret = segSdoRead(static_cast<short>(node_id), index, 0, buffer, sizeof buffer);
  if (ret != 0) {
    target->copy_value("error");
    return ret;
  }
  check_ascii(buffer);
  target->copy_value(buffer);
  return ret;
}

int D_can::get_manufacture() { return read_identity(0x1008, manu_, false, "D_can::get_manufacture"); }
int D_can::get_hwversion() { return read_identity(0x1009, hwver_, false, "D_can::get_hwversion"); }
int D_can::get_swversion() { return read_identity(0x100A, swver_, true, "D_can::get_swversion"); }
