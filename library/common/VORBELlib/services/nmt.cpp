// NMT commands and the command properties, and the master flag property.
#include "D_vorbel.h"
#include "line/line_log.h"

namespace {

constexpr unsigned char kStartNode = 0x01;
constexpr unsigned char kStopNode = 0x02;
constexpr unsigned char kResetNode = 0x81;

// NMT frame: identifier 0, the command specifier and the node id's low byte.
int send_nmt(D_can& node, unsigned char specifier, int node_id) {
  unsigned char data[2] = {specifier, static_cast<unsigned char>(node_id & 0xFF)};
  return node.D_can::can_write(0x000, 2, data);
}

}  // namespace

int D_can::start_node() { return send_nmt(*this, kStartNode, node_id()); }
int D_can::stop_node() { return send_nmt(*this, kStopNode, node_id()); }
int D_can::reset_node() { return send_nmt(*this, kResetNode, node_id()); }
int D_can::modinit() { return start_node(); }

void D_canint::read() {}

// Any value written sends the property's command once; the value is kept,
// whether or not the frame went out.
void D_canint::set_value(int i) {
  telvo::D_value<int>::set_value(i);
  switch (todo_) {
    case 0: can_->start_node(); break;
    case 1: can_->stop_node(); break;
    case 2: can_->reset_node(); break;
    default: break;
  }
}

void D_canactive::read() {}

void D_canactive::set(EqAdr*, EqData*, EqData*, EqFct*) {
  vorbel::log(basename(), "client write refused: the master flag is kept by node initialisation");
}
