// A node's PDO configuration over SDO (pdo_read, pdo_write) and the frames
// of its receive PDOs (pdo_send).
#include <cstdio>
#include <string>

#include "D_vorbel.h"
#include "line/line_log.h"

namespace vorbel {

namespace {

constexpr uint32_t kAbortNoSuchSubindex = 0x06090011;

// Subindexes of a communication object.
constexpr int kHighestSub = 0;
constexpr int kCobIdSub = 1;
constexpr int kTransmissionTypeSub = 2;
constexpr int kInhibitTimeSub = 3;
constexpr int kEventTimerSub = 5;
constexpr int kSyncStartSub = 6;

bool valid_number(int number) { return number >= 1 && number <= PdoConfig::kMaxNumber; }

std::string pdo_name(const D_can& node, PdoKind kind, int number) {
  return node.basename() + (kind == PdoKind::Receive ? ": RPDO " : ": TPDO ") + std::to_string(number);
}

std::string entry_name(int index, int subindex) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%04X/%d", index, subindex);
  return text;
}

std::string hex32(uint32_t v) {
  char text[12];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(v));
  return text;
}

// A number of 1..4 bytes, little-endian.
int upload_number(D_can& node, int index, int subindex, uint32_t* value) {
  unsigned char b[4] = {};
  int len = 0;
  const int r = node.sdo_upload(index, subindex, b, sizeof b, &len);
  if (r != 0) return r;
  *value = 0;
  for (int i = len - 1; i >= 0; --i) *value = *value << 8 | b[i];
  return 0;
}

int download_number(D_can& node, int index, int subindex, uint32_t value, int bytes) {
  unsigned char b[4];
  for (int i = 0; i < bytes; ++i) b[i] = static_cast<unsigned char>(value >> (8 * i));
  return node.sdo_download(index, subindex, b, bytes);
}

// The steps of one pdo_read or pdo_write: a failed transfer is logged once,
// with the entry it concerned and the node's abort code.
class Steps {
 public:
  Steps(D_can& node, const char* origin, std::string pdo) : node_(node), origin_(origin), pdo_(std::move(pdo)) {}

  int upload(int index, int subindex, uint32_t* value) {
    return check(upload_number(node_, index, subindex, value), index, subindex, "upload");
  }
  // An upload of a subindex the node need not have: 0 when it has not.
  int upload_optional(int index, int subindex, uint32_t* value) {
    *value = 0;
    const int r = upload_number(node_, index, subindex, value);
    if (r == -1 && node_.sdo_abort_code() == kAbortNoSuchSubindex) return 0;
    return check(r, index, subindex, "upload");
  }
  int download(int index, int subindex, uint32_t value, int bytes) {
    return check(download_number(node_, index, subindex, value, bytes), index, subindex, "download");
  }
  // A download of 0 that a node without the subindex may refuse.
  int download_optional(int index, int subindex, uint32_t value, int bytes) {
    const int r = download_number(node_, index, subindex, value, bytes);
    if (r == -1 && value == 0 && node_.sdo_abort_code() == kAbortNoSuchSubindex) return 0;
    return check(r, index, subindex, "download");
  }
  int refuse(const std::string& why) {
    log(origin_, pdo_ + ": " + why);
    return -1;
  }
  // From now on a failure leaves the PDO invalid, and says so.
  void pdo_invalid() { tail_ = "; the PDO is left invalid"; }

 private:
  int check(int r, int index, int subindex, const char* what) {
    if (r == 0) return 0;
    log(origin_, pdo_ + ": " + what + " of " + entry_name(index, subindex) + " failed with " + std::to_string(r) +
                     ", abort code " + hex32(node_.sdo_abort_code()) + tail_);
    return r;
  }

  D_can& node_;
  const char* origin_;
  std::string pdo_;
  std::string tail_;
};

}  // namespace

int pdo_read(D_can& node, PdoKind kind, int number, PdoConfig* out) {
  if (!out || !valid_number(number)) return NTCAN_INVALID_PARAMETER;
  PdoConfig c;
  c.kind = kind;
  c.number = number;
  Steps steps(node, "pdo_read", pdo_name(node, kind, number));
  const int comm = c.comm_index();
  const int map = c.mapping_index();

  uint32_t highest = 0, tt = 0, inhibit = 0, timer = 0, start = 0;
  if (int r = steps.upload(comm, kHighestSub, &highest)) return r;
  if (int r = steps.upload(comm, kCobIdSub, &c.comm.cob_id)) return r;
  if (int r = steps.upload(comm, kTransmissionTypeSub, &tt)) return r;
  const struct {
    int sub;
    uint32_t* value;
  } optional[] = {{kInhibitTimeSub, &inhibit}, {kEventTimerSub, &timer}, {kSyncStartSub, &start}};
  for (const auto& o : optional)
    if (highest >= static_cast<uint32_t>(o.sub))
      if (int r = steps.upload_optional(comm, o.sub, o.value)) return r;
  if (tt > 0xFF || inhibit > 0xFFFF || timer > 0xFFFF || start > 0xFF)
    return steps.refuse("a communication parameter wider than its entry");
  c.comm.transmission_type = static_cast<uint8_t>(tt);
  c.comm.inhibit_time = static_cast<uint16_t>(inhibit);
  c.comm.event_timer = static_cast<uint16_t>(timer);
  c.comm.sync_start = static_cast<uint8_t>(start);

  uint32_t count = 0;
  if (int r = steps.upload(map, 0, &count)) return r;
  if (count > PdoMapping::kMaxEntries) return steps.refuse(std::to_string(count) + " mapped entries, more than 64");
  for (uint32_t i = 1; i <= count; ++i) {
    uint32_t e = 0;
    if (int r = steps.upload(map, static_cast<int>(i), &e)) return r;
    if (c.mapping.add(static_cast<uint16_t>(e >> 16), static_cast<uint8_t>(e >> 8), static_cast<int>(e & 0xFF)) != 0)
      return steps.refuse("entry " + std::to_string(i) + " (" + hex32(e) + ") of no bits or beyond 64 bits");
  }
  *out = c;
  return 0;
}

int pdo_write(D_can& node, const PdoConfig& config) {
  if (!valid_number(config.number)) return NTCAN_INVALID_PARAMETER;
  const PdoComm& p = config.comm;
  const int comm = config.comm_index();
  const int map = config.mapping_index();
  const bool transmit = config.kind == PdoKind::Transmit;
  Steps steps(node, "pdo_write", pdo_name(node, config.kind, config.number));

  // The PDO invalid first: a node takes a new mapping only then.
  if (int r = steps.download(comm, kCobIdSub, p.cob_id | PdoComm::kInvalid, 4)) return r;
  steps.pdo_invalid();
  if (int r = steps.download(comm, kTransmissionTypeSub, p.transmission_type, 1)) return r;
  if (transmit)
    if (int r = steps.download_optional(comm, kInhibitTimeSub, p.inhibit_time, 2)) return r;
  if (int r = steps.download_optional(comm, kEventTimerSub, p.event_timer, 2)) return r;
  if (transmit)
    if (int r = steps.download_optional(comm, kSyncStartSub, p.sync_start, 1)) return r;

  // The mapping: count 0, the entries, then the count that makes them count.
  if (int r = steps.download(map, 0, 0, 1)) return r;
  for (int i = 0; i < config.mapping.size(); ++i)
    if (int r = steps.download(map, i + 1, config.mapping[i].packed(), 4)) return r;
  if (int r = steps.download(map, 0, static_cast<uint32_t>(config.mapping.size()), 1)) return r;

  if (p.valid())
    if (int r = steps.download(comm, kCobIdSub, p.cob_id, 4)) return r;
  return 0;
}

int pdo_send(D_can& node, int32_t can_id, const PdoMapping& mapping, const PdoValue* values, int count) {
  if (can_id < 0 || can_id > 0x7FF) return NTCAN_INVALID_PARAMETER;
  unsigned char data[8] = {};
  if (int r = pdo_encode(mapping, values, count, data)) return r;
  return node.can_write(can_id, mapping.bytes(), data);
}

}  // namespace vorbel
