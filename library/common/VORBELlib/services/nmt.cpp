// NMT commands and the command properties, and the master flag property.
#include "D_vorbel.h"
#include "line/line_log.h"
#include "services/node_id.h"

namespace {
constexpr unsigned char kStartNode = 0x01;
constexpr unsigned char kStopNode = 0x02;
constexpr unsigned char kResetNode = 0x81;
constexpr unsigned char kEnterPreOperational = 0x80;
constexpr unsigned char kResetCommunication = 0x82;
}  // namespace

// NMT frame: identifier 0, the command specifier and the node id (0: every
// node of the line).
int D_can::send_nmt(unsigned char specifier, const char* origin) {
  const int node_id = current_node_id();
  if (const int refused = check_node_id(node_id, 0, vorbel::kNmtService, origin)) return refused;
  unsigned char data[2] = {specifier, static_cast<unsigned char>(node_id)};
  return D_can::can_write(0x000, 2, data);
}

int D_can::start_node() { return send_nmt(kStartNode, "D_can::start_node"); }
int D_can::stop_node() { return send_nmt(kStopNode, "D_can::stop_node"); }
int D_can::reset_node() { return send_nmt(kResetNode, "D_can::reset_node"); }
int D_can::preop_node() { return send_nmt(kEnterPreOperational, "D_can::preop_node"); }
int D_can::reset_comm_node() { return send_nmt(kResetCommunication, "D_can::reset_comm_node"); }
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
  const char reason[] = "the master flag is kept by node initialisation";
  vorbel::log(basename(), std::string("client write refused: ") + reason);
  d_error(NTCAN_INVALID_PARAMETER, reason);
}
