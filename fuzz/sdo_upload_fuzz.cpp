// The SDO upload client against a node that answers with arbitrary frames.
//
// Input: buffer size byte (0: the 64-byte form), index (2 bytes), subindex,
// node selector (below 0xC0: node 5; otherwise the next two bytes are the
// node argument), fault selector (bit 7 with a sized buffer: sdo_upload of
// the node's own entry instead of segSdoRead) and its two bytes, then
// answers: a frame
// count (0..5) followed by that many frames of 11 bytes (identifier, 0x585
// when its top bit is set; length byte; 8 data bytes). The first answer is
// waiting before the upload starts; each later one follows one request of
// the client.
//
// Properties: nothing is written outside the caller's buffer, the result is
// 0, -1, 77 or a driver status, and an upload succeeds only when the node
// answered with a frame naming the entry. segSdoRead leaves the buffer's
// last byte NUL; sdo_upload's length is within the buffer.
#include <cstdint>
#include <vector>

#include "D_vorbel.h"
#include "fuzz_support.h"
#include "ntcan_sim.h"
#include "telvo_clock.h"

namespace {

constexpr size_t kGuard = 16;
constexpr uint8_t kGuardByte = 0xA5;

class FuzzNode : public D_can {
 public:
  using D_can::D_can;
  NTCAN_HANDLE raw_handle() const { return canhandle_; }
  canline* line() const { return pline_; }
};

struct Bench {
  FuzzNode* node = nullptr;
  std::vector<std::vector<CMSG>> answers;
  size_t next = 0;
};

Bench& bench() {
  static Bench* b = [] {
    auto* bench = new Bench;
    fuzzsupport::Log::get();
    telvo::ManualClock& clock = telvo::install_manual_clock();
    clock.drive_from_this_thread();
    ntcan_sim::reset();
    // The driver's read does not wait: a wait without answer takes two reads
    // and 0.5 s of framework time, which the wait's own pauses move on.
    ntcan_sim::set_time_scale(0);
    ntcan_sim::set_trace_enabled(false);
    static EqFct eq("FUZZ");
    bench->node = new FuzzNode("SDO", &eq);
    IIII address{1, 5, 0, 0};
    bench->node->set_value(&address);
    FUZZ_CHECK(bench->node->init(0x585) == 0, "the node does not start");
    bench->node->line()->ThreadStop_ = true;  // no supervision in between
    // Every identifier reaches the node: the answers may come from anywhere.
    for (int id = 0; id <= 0x7FF; ++id) FUZZ_CHECK(bench->node->AddIdent(id) == 0, "identifier %d", id);
    ntcan_sim::attach(0, "device", [bench](const ntcan_sim::BusFrame& f) {
      if (!f.participant.empty() || bench->next >= bench->answers.size()) return;
      for (const CMSG& m : bench->answers[bench->next]) ntcan_sim::inject(0, m, "device");
      ++bench->next;
    });
    return bench;
  }();
  return *b;
}

constexpr NTCAN_RESULT kFaults[] = {NTCAN_TX_TIMEOUT,     NTCAN_CONTR_OFF_BUS,   NTCAN_INVALID_HANDLE,
                                    NTCAN_OPERATION_ABORTED, NTCAN_PENDING_READ, NTCAN_SOCK_CMD_TIMEOUT};

CMSG read_frame(fuzzsupport::Input& in) {
  CMSG m{};
  const uint16_t id = in.u16();
  m.id = (id & 0x8000) ? 0x585 : (id & 0x7FF);
  const uint8_t len = in.byte();
  m.len = static_cast<uint8_t>((len & 0xF0) | ((len & 0x0F) % 9));  // the driver carries at most 8
  in.bytes(m.data, sizeof m.data);
  return m;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Bench& b = bench();
  fuzzsupport::Log::get().clear();
  ntcan_sim::clear_faults();
  const NTCAN_HANDLE h = b.node->raw_handle();
  CMSG drain[100];
  for (int32_t n = 100; canTake(h, drain, &n) == NTCAN_SUCCESS && n > 0; n = 100) {
  }

  fuzzsupport::Input in(data, size);
  const uint8_t size_byte = in.byte();
  const bool identity_form = size_byte == 0;
  const int buffer_size = identity_form ? 64 : 1 + size_byte % 96;
  const int index = in.u16();
  const int subindex = in.byte();
  short node = 5;
  if (in.byte() >= 0xC0) node = static_cast<short>(in.u16());
  const uint8_t fault = in.byte();
  const uint8_t fault_arg = in.byte();
  const NTCAN_RESULT status = kFaults[in.byte() % (sizeof kFaults / sizeof kFaults[0])];
  if (fault % 4 == 1 || fault % 4 == 3) ntcan_sim::fail_after(0, ntcan_sim::Call::Send, fault_arg % 8, status);
  if (fault % 4 == 2 || fault % 4 == 3)
    ntcan_sim::fail_after(0, ntcan_sim::Call::Take, fault_arg / 8 % 8, status, 1 + fault_arg / 64);

  b.answers.clear();
  b.next = 0;
  while (!in.empty()) {
    std::vector<CMSG> answer(in.byte() % 6);
    for (CMSG& m : answer) m = read_frame(in);
    b.answers.push_back(answer);
  }
  // The first answer is already waiting when the upload starts.
  if (!b.answers.empty()) {
    for (const CMSG& m : b.answers[0]) ntcan_sim::inject(0, m, "device");
    b.next = 1;
  }

  std::vector<char> block(kGuard + static_cast<size_t>(buffer_size) + kGuard, static_cast<char>(kGuardByte));
  char* buffer = block.data() + kGuard;
  std::memset(buffer, 0, static_cast<size_t>(buffer_size));
  const bool binary = !identity_form && (fault & 0x80);
  if (binary) node = 5;
  int len = -1;
  auto* bytes = reinterpret_cast<unsigned char*>(buffer);
  const int r = identity_form ? b.node->segSdoRead(node, index, subindex, buffer)
                : binary      ? b.node->sdo_upload(index, subindex, bytes, buffer_size, &len)
                              : b.node->segSdoRead(node, index, subindex, buffer, buffer_size);

  for (size_t i = 0; i < kGuard; ++i) {
    FUZZ_CHECK(static_cast<uint8_t>(block[i]) == kGuardByte, "byte %zu before the buffer written", kGuard - i);
    FUZZ_CHECK(static_cast<uint8_t>(block[kGuard + static_cast<size_t>(buffer_size) + i]) == kGuardByte,
               "byte %zu after the buffer written", i);
  }
  if (binary)
    FUZZ_CHECK(len >= 0 && len <= buffer_size, "length %d for a %d-byte buffer", len, buffer_size);
  else
    FUZZ_CHECK(buffer[buffer_size - 1] == '\0', "last byte of a %d-byte buffer is %d", buffer_size,
               buffer[buffer_size - 1]);
  FUZZ_CHECK(r == 0 || r == -1 || r == NTCAN_INVALID_HANDLE || fuzzsupport::is_driver_status(r), "result %d", r);
  bool named = false;
  for (const auto& answer : b.answers)
    for (const CMSG& m : answer)
      named |= m.id == 0x580 + node && !(m.len & NTCAN_RTR) && (m.len & 0x0F) >= 4 && m.data[1] == (index & 0xFF) && m.data[2] == index >> 8 &&
               m.data[3] == subindex;
  FUZZ_CHECK(r != 0 || named, "upload of %04X/%d succeeded without an answer naming it", index, subindex);
  return 0;
}
