// The recognisers of received frames (emergency, alive state) and the debug
// print of a node's receive buffer, against arbitrary batches and counts.
//
// Input: a flag byte (bit 0: the debug selector names the node), the node
// id handed to the recognisers (4 bytes), the count (4 bytes), then frames
// of 16 bytes each as CMSG records (identifier, length byte, lost count, two
// reserved bytes, 8 data bytes), at most 100.
//
// The recognisers get the batch and min(count, frames); the receive buffer
// of a registered node gets the frames and the count as it is, whatever its
// value, and is printed and copied out.
//
// Properties: no read outside the batch (AddressSanitizer, the batch is
// allocated to its size), the batch and count are not changed, each result
// and log line is the one the first matching frame calls for (supervise:
// the last state frame, booted() after any boot-up), a node id outside
// 1..127 is refused (NTCAN_INVALID_PARAMETER, at most its one refusal line,
// nothing stored), and the copy out never exceeds 100 records.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "D_vorbel.h"
#include "fuzz_support.h"
#include "ntcan_sim.h"
#include "telvo_clock.h"

namespace {

class FuzzNode : public D_can {
 public:
  using D_can::D_can;
  canline* line() const { return pline_; }
  CMSG* buffer() const { return rxmsg_; }
  int32_t* count() const { return rxmsg_len_; }
  static void select_for_print(const IIII& a) { canIdent_debug_->set_value(a); }
};

FuzzNode& node() {
  static FuzzNode* n = [] {
    fuzzsupport::Log::get();
    telvo::ManualClock& clock = telvo::install_manual_clock();
    clock.drive_from_this_thread();
    ntcan_sim::reset();
    static EqFct eq("FUZZ");
    auto* node = new FuzzNode("REC", &eq);
    IIII address{1, 5, 0, 0};
    node->set_value(&address);
    FUZZ_CHECK(node->init(0x705) == 0, "the node does not start");
    node->line()->ThreadStop_ = true;  // no supervision in between
    return node;
  }();
  return *n;
}

// What a recogniser logs for a refused node id: nothing, or its one line.
bool refusal_log(const std::vector<std::string>& texts, int32_t ident) {
  return texts.empty() ||
         (texts.size() == 1 && texts[0] == "REC: node id " + std::to_string(ident) + " outside 1..127, refused");
}

int data_length(const CMSG& m) { return (m.len & 0x0F) < 8 ? (m.len & 0x0F) : 8; }

const char* condition(int state) {
  switch (state & 0x0F) {
    case 2: return "Error";
    case 4: return "Stopped";
    case 5: return "Operational";
    case 15: return "Preoperational";
    default: return "default Error";
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzNode& n = node();
  fuzzsupport::Log& log = fuzzsupport::Log::get();
  log.clear();
  fuzzsupport::Input in(data, size);
  const uint8_t flags = in.byte();
  const int32_t ident = in.i32();
  const int32_t raw_count = in.i32();
  std::vector<CMSG> frames;
  while (in.left() > 0 && frames.size() < 100) {
    CMSG m{};
    in.bytes(&m, sizeof m);
    frames.push_back(m);
  }
  const int nframes = static_cast<int>(frames.size());
  const int count = raw_count < nframes ? raw_count : nframes;
  // The batch exactly as large as its frames, so that a read past it is seen.
  std::unique_ptr<CMSG[]> batch(new CMSG[frames.size() > 0 ? frames.size() : 1]);
  if (nframes > 0) std::memcpy(batch.get(), frames.data(), sizeof(CMSG) * frames.size());

  // Emergency: the first frame on 0x80 + ident, logged byte by byte.
  int l = count;
  const int emergency = n.can_emergency(ident, batch.get(), &l);
  const int alive_before = n.alive_->value();
  const std::string condition_before = n.modul_condition_->value();
  std::vector<std::string> expected_log;
  if (ident < 1 || ident > 127) {
    FUZZ_CHECK(emergency == NTCAN_INVALID_PARAMETER, "can_emergency answered %d for node id %d", emergency, ident);
    FUZZ_CHECK(refusal_log(log.texts("D_can::can_emergency"), ident), "emergency refusal log differs");
    const int alive = n.alive_->check_alive(ident, batch.get(), &l);
    FUZZ_CHECK(alive == NTCAN_INVALID_PARAMETER, "check_alive answered %d for node id %d", alive, ident);
    FUZZ_CHECK(refusal_log(log.texts("D_Alive::can_read"), ident), "alive refusal log differs");
    const int supervised = n.alive_->supervise(ident, batch.get(), &l);
    FUZZ_CHECK(supervised == NTCAN_INVALID_PARAMETER, "supervise answered %d for node id %d", supervised, ident);
    FUZZ_CHECK(refusal_log(log.texts("D_Alive::supervise"), ident), "supervise refusal log differs");
    FUZZ_CHECK(n.alive_->value() == alive_before && n.modul_condition_->value() == condition_before,
               "a refused node id changed the state");
  } else {
    int first = -1;
    for (int i = 0; i < count; ++i)
      if (frames[static_cast<size_t>(i)].id == 0x080 + ident) {
        first = i;
        break;
      }
    FUZZ_CHECK(emergency == (first >= 0 ? 100 : 0), "can_emergency answered %d", emergency);
    if (first >= 0) {
      std::string t;
      const CMSG& m = frames[static_cast<size_t>(first)];
      for (int k = 0; k < data_length(m); ++k) {
        char b[8];
        std::snprintf(b, sizeof b, "0x%X ", m.data[k]);
        t += b;
      }
      expected_log.push_back(t);
    }
    FUZZ_CHECK(log.texts("D_can::can_emergency") == expected_log, "emergency log differs");

    // Alive state: the first one-byte frame on 0x700 + ident.
    const int alive = n.alive_->check_alive(ident, batch.get(), &l);
    const CMSG* state = nullptr;
    for (int i = 0; i < count && !state; ++i) {
      const CMSG& m = frames[static_cast<size_t>(i)];
      if (m.id == 0x700 + ident && m.len == 1) state = &m;
    }
    const bool operational = state && (state->data[0] & 0x7F) == 5;
    FUZZ_CHECK(alive == (operational ? 100 : 0), "check_alive answered %d", alive);
    FUZZ_CHECK(n.alive_->value() == (state ? state->data[0] : alive_before), "alive value %d", n.alive_->value());
    FUZZ_CHECK(n.modul_condition_->value() == (operational ? condition(state->data[0]) : condition_before),
               "condition '%s'", n.modul_condition_->value().c_str());

    // Supervision (no time-out): every state frame in order, the last kept.
    const int kept = n.alive_->value();
    const int supervised = n.alive_->supervise(ident, batch.get(), &l);
    int last = -1;
    bool boot = false;
    for (int i = 0; i < count; ++i) {
      const CMSG& m = frames[static_cast<size_t>(i)];
      if (m.id != 0x700 + ident || m.len != 1) continue;
      last = m.data[0];
      boot = boot || last == 0;
    }
    FUZZ_CHECK(supervised == (last >= 0 && (last & 0x7F) == 5 ? 100 : 0), "supervise answered %d", supervised);
    FUZZ_CHECK(n.alive_->value() == (last >= 0 ? last : kept), "supervised value %d", n.alive_->value());
    FUZZ_CHECK(n.alive_->booted() == boot, "booted() differs");
    FUZZ_CHECK(last < 0 || n.modul_condition_->value() == (last == 0 ? "Boot-up" : condition(last)),
               "supervised condition '%s'", n.modul_condition_->value().c_str());
  }
  FUZZ_CHECK(l == count, "the count changed to %d", l);
  FUZZ_CHECK(nframes == 0 || std::memcmp(batch.get(), frames.data(), sizeof(CMSG) * frames.size()) == 0,
             "the batch changed");

  // The receive buffer with these frames and any count: print and copy out.
  std::memset(n.buffer(), 0, sizeof(CMSG) * 100);
  if (nframes > 0) std::memcpy(n.buffer(), frames.data(), sizeof(CMSG) * frames.size());
  *n.count() = raw_count;
  FuzzNode::select_for_print((flags & 1) ? IIII{1, 5, 0, static_cast<int32_t>(flags)} : IIII{1, 6, 0, 0});
  log.clear();
  n.can_print();
  expected_log.clear();
  if (flags & 1) {
    for (int i = 0; i < raw_count && i < 100; ++i) {
      const CMSG& m = i < nframes ? frames[static_cast<size_t>(i)] : CMSG{};
      if (m.id == 0) continue;
      std::string bytes;
      for (int k = 0; k < data_length(m); ++k) {
        char b[8];
        std::snprintf(b, sizeof b, " %02X", m.data[k]);
        bytes += b;
      }
      char line[200];
      std::snprintf(line, sizeof line, "ID: %X, Len: %d, Data:%s", static_cast<unsigned>(m.id), m.len, bytes.c_str());
      expected_log.push_back(line);
    }
  }
  FUZZ_CHECK(log.texts("can_print") == expected_log, "print differs: %zu lines, %zu expected",
             log.texts("can_print").size(), expected_log.size());

  std::vector<CMSG> out(100);
  int copied = -5;
  n.can_array(out.data(), &copied);
  const int expected_copied = raw_count < 0 ? 0 : (raw_count < 100 ? raw_count : 100);
  FUZZ_CHECK(copied == expected_copied, "can_array copied %d", copied);
  return 0;
}
