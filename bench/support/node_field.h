// Many nodes on the simulated CAN nets, as a large server has them.
//
// Node k (counted from 0) sits on line k % 20 + 1 with node id k / 20 + 1,
// so the first 20 nodes open the 20 lines and every line and node id pair is
// distinct. Each node is initialised as device code does it for SDO use,
// init(0x580 + node id): a registered master with a handle of its own (the
// first node of a line uses the line's handle) and its SDO response
// identifier enabled. One peer handle per net, opened by the field itself,
// puts frames into the nodes' receive queues.
#ifndef VORBEL_BENCH_NODE_FIELD_H
#define VORBEL_BENCH_NODE_FIELD_H

#include <array>
#include <memory>
#include <vector>

#include "D_vorbel.h"

namespace vorbel_bench {

// A node whose raw handle can be read, so that the bare driver calls can be
// made on the very handle the library uses.
class FieldNode : public D_can {
 public:
  using D_can::D_can;
  NTCAN_HANDLE raw_handle() const { return canhandle_; }
  // The receive buffer the server loop fills.
  CMSG* rx_buffer() const { return rxmsg_; }
};

class NodeField {
 public:
  static constexpr int kLines = 20;
  static constexpr int kMaxFrames = 100;  // a node's receive queue

  // Constructs `count` nodes in `eq` and registers them all. Throws
  // std::runtime_error when a node cannot be initialised or a peer handle
  // cannot be opened.
  NodeField(EqFct& eq, int count);
  NodeField(const NodeField&) = delete;
  NodeField& operator=(const NodeField&) = delete;

  static int line_of(int k) { return k % kLines + 1; }
  static int node_id_of(int k) { return k / kLines + 1; }

  int size() const { return static_cast<int>(nodes_.size()); }
  FieldNode& node(int k) { return *nodes_[static_cast<size_t>(k)]; }
  NTCAN_HANDLE handle(int k) const { return nodes_[static_cast<size_t>(k)]->raw_handle(); }

  // Leave exactly the first n nodes registered for polling, in order.
  void register_first(int n);

  // Put `frames` (1..100) frames on the SDO response identifier of each of
  // the first n nodes, one canSend per node from the peer handle of its net,
  // so that they wait in the nodes' receive queues. Returns false when a
  // send failed.
  bool refill(int n, int frames);

 private:
  std::vector<std::unique_ptr<FieldNode>> nodes_;
  std::vector<std::array<CMSG, kMaxFrames>> frames_;  // per node, prebuilt
  std::array<NTCAN_HANDLE, kLines> peers_{};
};

}  // namespace vorbel_bench

#endif  // VORBEL_BENCH_NODE_FIELD_H
