#include "node_field.h"

#include <stdexcept>
#include <string>

namespace vorbel_bench {

NodeField::NodeField(EqFct& eq, int count) {
  nodes_.reserve(static_cast<size_t>(count));
  frames_.resize(static_cast<size_t>(count));
  for (int k = 0; k < count; ++k) {
    const int line = line_of(k);
    const int id = node_id_of(k);
    auto n = std::make_unique<FieldNode>("FIELD_" + std::to_string(line) + "_" + std::to_string(id), &eq);
    IIII address{line, id, 0, 0};
    n->set_value(&address);
    n->has_changed();
    const int ret = n->init(0x580 + id);
    if (ret != 0) throw std::runtime_error("node " + std::to_string(k) + ": init returned " + std::to_string(ret));
    for (int f = 0; f < kMaxFrames; ++f) {
      CMSG& m = frames_[static_cast<size_t>(k)][static_cast<size_t>(f)];
      m = CMSG{};
      m.id = 0x580 + id;
      m.len = 8;
      m.data[0] = 0x43;
      m.data[4] = static_cast<uint8_t>(f);
    }
    nodes_.push_back(std::move(n));
  }
  for (int net = 0; net < kLines; ++net) {
    NTCAN_HANDLE h = NTCAN_NO_HANDLE;
    if (canOpen(net, 0, 10, 100, 1000, 1000, &h) != NTCAN_SUCCESS)
      throw std::runtime_error("peer handle on net " + std::to_string(net));
    peers_[static_cast<size_t>(net)] = h;
  }
}

void NodeField::register_first(int n) {
  for (auto& node : nodes_) node->dellist();
  for (int k = 0; k < n && k < size(); ++k) {
    const int ret = node(k).init(0x580 + node_id_of(k));
    if (ret != 0) throw std::runtime_error("node " + std::to_string(k) + ": init returned " + std::to_string(ret));
  }
}

bool NodeField::refill(int n, int frames) {
  for (int k = 0; k < n; ++k) {
    int32_t count = frames;
    if (canSend(peers_[static_cast<size_t>(line_of(k) - 1)], frames_[static_cast<size_t>(k)].data(), &count) !=
        NTCAN_SUCCESS)
      return false;
  }
  return true;
}

}  // namespace vorbel_bench
