// Emergency messages: enabling a node's emergency identifier and logging its
// emergency frames.
#include <cstdio>

#include "D_vorbel.h"
#include "line/line_log.h"
#include "services/node_id.h"

int D_can::init_emergency() {
  const int node_id = current_node_id();
  if (const int refused = check_node_id(node_id, 1, vorbel::kEmergencyInit, "D_can::init_emergency")) return refused;
  return init(0x080 + node_id);
}

int D_can::can_emergency(int ident, CMSG* rxmsg, int* l) {
  if (const int refused = check_node_id(ident, 1, vorbel::kEmergencyService, "D_can::can_emergency")) return refused;
  if (!rxmsg || !l || *l < 1) return 0;
  const int id = 0x080 + ident;
  for (int i = 0; i < *l; ++i) {
    const CMSG& m = rxmsg[i];
    if (m.id != id) continue;
    // The bytes as they came, "0x10 0x82 0x1 ...": no decoding.
    const int n = (m.len & 0x0F) < 8 ? (m.len & 0x0F) : 8;
    char text[8 * 5 + 1] = "";
    int at = 0;
    for (int k = 0; k < n; ++k) at += std::snprintf(text + at, sizeof text - static_cast<size_t>(at), "0x%X ", m.data[k]);
    vorbel::log("D_can::can_emergency", text);
    return 100;
  }
  return 0;
}
