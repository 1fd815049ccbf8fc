// The drive's process data and large transfers: its PDOs configured over
// SDO and its transmit PDO decoded by the library at every fill, the SYNC
// of its line, the set-point a client sets sent in a receive PDO; its
// program image downloaded by block transfer and its parameters stored.
#include <cstdio>

#include "server.h"

namespace demo {

namespace {

constexpr uint16_t kPosition = 0x6064;        // INTEGER32
constexpr uint16_t kVelocity = 0x606C;        // INTEGER32
constexpr uint16_t kTargetVelocity = 0x60FF;  // INTEGER32
constexpr int kVelocityEntry = 1;             // its place in the transmit PDO
constexpr long long kSyncPeriodUs = 100000;   // a SYNC every 100 ms
constexpr int kProgram = 1;                   // the drive keeps one program
constexpr std::size_t kProgramBytes = 6144;

// The drive's firmware image: a header, then bytes that stand for its code.
std::vector<unsigned char> program_image() {
  const std::string header = "DC-200 firmware 2.5.0";
  std::vector<unsigned char> image(header.begin(), header.end());
  image.resize(kProgramBytes);
  uint32_t x = 0x2A2A2A2A;
  for (std::size_t i = header.size() + 1; i < image.size(); ++i) {
    x = x * 1664525u + 1013904223u;
    image[i] = static_cast<unsigned char>(x >> 24);
  }
  return image;
}

}  // namespace

int32_t Server::tpdo_id(const Node& n) const {
  return static_cast<int32_t>(vorbel::pdo_default_cob_id(vorbel::PdoKind::Transmit, 1, node_id(n)) & 0x7FF);
}

int32_t Server::rpdo_id(const Node& n) const {
  return static_cast<int32_t>(vorbel::pdo_default_cob_id(vorbel::PdoKind::Receive, 1, node_id(n)) & 0x7FF);
}

void Server::configure_process_data(Node& n) {
  using vorbel::PdoKind;
  using vorbel::PdoType;
  D_can& can = *n.can;
  vorbel::PdoConfig tpdo;
  tpdo.kind = PdoKind::Transmit;
  tpdo.number = 1;
  tpdo.comm.cob_id = static_cast<uint32_t>(tpdo_id(n));
  tpdo.comm.transmission_type = 1;  // at every SYNC
  tpdo.mapping.add(kPosition, 0, 32, PdoType::Signed);
  tpdo.mapping.add(kVelocity, 0, 32, PdoType::Signed);
  const int written = vorbel::pdo_write(can, tpdo);
  // Its frames come with the fills, and every fill decodes them.
  const int bound = can.bind_tpdo(tpdo_id(n), tpdo.mapping);
  display_.event("pdo", name(n) + "  pdo_write(transmit PDO 1)=" + sdo_result(can, written) + ": COB-ID " +
                            hex(static_cast<unsigned>(tpdo_id(n))) +
                            " at every SYNC (type 1), position 0x6064 and velocity 0x606C, 32 bits signed each;"
                            " bind_tpdo(" + hex(static_cast<unsigned>(tpdo_id(n))) + ")=" + result_text(bound) +
                            ": each fill decodes it");

  vorbel::PdoConfig rpdo;
  rpdo.kind = PdoKind::Receive;
  rpdo.number = 1;
  rpdo.comm.cob_id = static_cast<uint32_t>(rpdo_id(n));
  rpdo.comm.transmission_type = 255;  // applied as it arrives
  rpdo.mapping.add(kTargetVelocity, 0, 32, PdoType::Signed);
  setpoint_mapping_ = rpdo.mapping;
  const int set = vorbel::pdo_write(can, rpdo);
  display_.event("pdo", name(n) + "  pdo_write(receive PDO 1)=" + sdo_result(can, set) + ": COB-ID " +
                            hex(static_cast<unsigned>(rpdo_id(n))) +
                            ", applied as it arrives (type 255), target velocity 0x60FF, 32 bits signed: " +
                            name(n) + ".VELOCITY sends it");
}

void Server::download_program(Node& n) {
  const std::vector<unsigned char> image = program_image();
  vorbel::SdoBlockOptions options;
  std::size_t quarter = 0;  // a progress line per quarter of the image
  options.progress = [&](std::size_t done, std::size_t total) {
    if (total == 0 || done * 4 / total <= quarter) return;
    quarter = done * 4 / total;
    display_.event("program", name(n) + "  0x1F50 by block download: " + std::to_string(done) + " of " +
                                  std::to_string(total) + " bytes (" + std::to_string(done * 100 / total) + " %)");
  };
  uint32_t identification = 0;
  int step = 0;
  const int ret = vorbel::program_download(*n.can, kProgram, image.data(), static_cast<int>(image.size()),
                                           &identification, options, &step);
  std::string text = name(n) + "  program_download(" + std::to_string(kProgram) + ", " +
                     std::to_string(image.size()) + " bytes)=" + sdo_result(*n.can, ret);
  if (ret != 0) {
    display_.event("program", text + ": step " + std::to_string(step) + " failed");
    return;
  }
  // The node identifies its program by the CRC of its image.
  const uint16_t crc = vorbel::sdo_crc16(image.data(), image.size());
  char id[96];
  std::snprintf(id, sizeof id, "; 0x1F56 reads 0x%08X, %s", static_cast<unsigned>(identification),
                identification == crc ? "the image's CRC: the node has it whole" : "not the image's CRC");
  display_.event("program", text + ": 0x1F51 stop and clear, the image to 0x1F50, 0x1F51 start" + id);
}

void Server::store_parameters(Node& n) {
  const int ret = vorbel::store_parameters(*n.can);
  display_.event("sdo", name(n) + "  store_parameters()=" + sdo_result(*n.can, ret) +
                            ": \"save\" to 0x1010/1; its heartbeat time, PDOs and set-point now outlast a reset");
}

void Server::start_sync(Node& n) {
  vorbel::SyncSettings sync;
  sync.period_us = kSyncPeriodUs;
  const int ret = canline_sync_start(n.line_no, sync);
  display_.event("pdo", "canline_sync_start(" + std::to_string(n.line_no) + ")=" + result_text(ret) +
                            ": SYNC on 0x80 every " + std::to_string(kSyncPeriodUs / 1000) +
                            " ms from the library's own thread; " + name(n) + "'s transmit PDO 1 answers each");
}

void Server::send_setpoint(Node& n) {
  const int velocity = n.velocity->value();
  const vorbel::PdoValue value[] = {velocity};
  const int ret = vorbel::pdo_send(*n.can, rpdo_id(n), setpoint_mapping_, value, 1);
  n.velocity_sent = velocity;
  n.setpoint_sent_ms = ret == 0 ? TELVOtime_ms() : -1;
  // Only a transmit PDO decoded after this one can show it.
  const std::shared_ptr<const vorbel::PdoReceiver> pdo = n.can->tpdo(tpdo_id(n));
  n.pdos_at_setpoint = pdo ? pdo->decoded() : 0;
  display_.event("pdo", name(n) + "  VELOCITY " + std::to_string(velocity) + ": pdo_send(" +
                            hex(static_cast<unsigned>(rpdo_id(n))) + ")=" + result_text(ret) +
                            ": receive PDO 1 with the target velocity");
}

void Server::watch_process_data(Node& n) {
  const std::shared_ptr<const vorbel::PdoReceiver> pdo = n.can->tpdo(tpdo_id(n));
  if (!pdo) return;
  const vorbel::PdoSample s = pdo->latest();
  const long long velocity = s.values[kVelocityEntry].as_signed();
  if (n.setpoint_sent_ms >= 0 && s.decoded > n.pdos_at_setpoint && velocity == n.velocity_sent) {
    display_.event("pdo", name(n) + "  transmit PDO " + hex(static_cast<unsigned>(tpdo_id(n))) + ": velocity " +
                              std::to_string(velocity) + ", position " + std::to_string(s.values[0].as_signed()) +
                              ", taken " + std::to_string(s.time_ms - n.setpoint_sent_ms) +
                              " ms after the receive PDO: the drive applied the set-point");
    n.setpoint_sent_ms = -1;
  }
  if (n.pdo_after_boot && s.decoded > n.pdos_at_boot) {
    n.pdo_after_boot = false;
    display_.event("pdo", name(n) + "  transmit PDO " + hex(static_cast<unsigned>(tpdo_id(n))) +
                              " comes again after the reboot: the node kept its configuration (stored parameters)");
  }
}

void Server::process_view(const Node& n, NodeView* v) const {
  // A follower reads the transmit PDO its master bound: they share it.
  const Node& node = n.master ? *n.master : n;
  if (!node.drive) return;
  const std::shared_ptr<const vorbel::PdoReceiver> pdo = n.can->tpdo(tpdo_id(node));
  if (!pdo) return;
  const vorbel::PdoSample s = pdo->latest();
  v->pdo = s.decoded > 0;
  v->position = s.values[0].as_signed();
  v->velocity = s.values[kVelocityEntry].as_signed();
}

std::string Server::process_text() {
  const Node* d = drive();
  if (!d) return "";
  std::string text;
  char buf[200];
  if (const std::shared_ptr<const vorbel::PdoReceiver> pdo = d->can->tpdo(tpdo_id(*d))) {
    const vorbel::PdoSample s = pdo->latest();
    std::snprintf(buf, sizeof buf, "%s PDO 0x%X: position %lld velocity %lld, %llu decoded, %llu of another length   ",
                  name(*d).c_str(), static_cast<unsigned>(pdo->can_id()),
                  static_cast<long long>(s.values[0].as_signed()),
                  static_cast<long long>(s.values[kVelocityEntry].as_signed()),
                  static_cast<unsigned long long>(s.decoded),
                  static_cast<unsigned long long>(pdo->length_mismatches()));
    text = buf;
  }
  const vorbel::SyncStats sync = canline_sync_stats(d->line_no);
  std::snprintf(buf, sizeof buf, "SYNC line %d: %llu sent, mean interval %.1f ms, max jitter %.2f ms", d->line_no,
                static_cast<unsigned long long>(sync.sent), sync.mean_interval_us / 1e3,
                static_cast<double>(sync.max_jitter_us) / 1e3);
  return text + buf;
}

}  // namespace demo
