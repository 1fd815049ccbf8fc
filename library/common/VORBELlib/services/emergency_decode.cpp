// Emergency frames decoded and named.
#include <cstdio>

#include "vorbel_emergency.h"

namespace vorbel {

namespace {

constexpr int32_t kEmergencyBase = 0x080;

struct CodeText {
  uint16_t first, last;  // the codes it names, inclusive
  const char* text;
};

// Scanned in order: the most specific range first.
const CodeText kCodeTexts[] = {
    {0x0000, 0x00FF, "error reset or no error"},
    {0x1000, 0x1FFF, "generic error"},
    {0x2100, 0x21FF, "current, device input side"},
    {0x2200, 0x22FF, "current inside the device"},
    {0x2300, 0x23FF, "current, device output side"},
    {0x2000, 0x2FFF, "current"},
    {0x3100, 0x31FF, "mains voltage"},
    {0x3200, 0x32FF, "voltage inside the device"},
    {0x3300, 0x33FF, "output voltage"},
    {0x3000, 0x3FFF, "voltage"},
    {0x4100, 0x41FF, "ambient temperature"},
    {0x4200, 0x42FF, "device temperature"},
    {0x4000, 0x4FFF, "temperature"},
    {0x5000, 0x5FFF, "device hardware"},
    {0x6100, 0x61FF, "internal software"},
    {0x6200, 0x62FF, "user software"},
    {0x6300, 0x63FF, "data set"},
    {0x6000, 0x6FFF, "device software"},
    {0x7000, 0x7FFF, "additional modules"},
    {0x8110, 0x8110, "CAN overrun (objects lost)"},
    {0x8120, 0x8120, "CAN in error passive mode"},
    {0x8130, 0x8130, "life guard error or heartbeat error"},
    {0x8140, 0x8140, "recovered from bus off"},
    {0x8150, 0x8150, "CAN-ID collision"},
    {0x8100, 0x81FF, "communication"},
    {0x8210, 0x8210, "PDO not processed due to length error"},
    {0x8220, 0x8220, "PDO length exceeded"},
    {0x8230, 0x8230, "DAM MPDO not processed, destination object not available"},
    {0x8240, 0x8240, "unexpected SYNC data length"},
    {0x8250, 0x8250, "RPDO time-out"},
    {0x8200, 0x82FF, "protocol error"},
    {0x8000, 0x8FFF, "monitoring"},
    {0x9000, 0x9FFF, "external error"},
    {0xF000, 0xF0FF, "additional functions"},
    {0xFF00, 0xFFFF, "device specific"},
};

const char* const kRegisterBits[8] = {"generic",       "current",        "voltage",  "temperature",
                                      "communication", "device profile", "reserved", "manufacturer"};

}  // namespace

int decode_emergency(const CMSG& frame, long long taken_ms, Emergency* out) {
  if (!out) return NTCAN_INVALID_PARAMETER;
  if (frame.id <= kEmergencyBase || frame.id > kEmergencyBase + 127 || (frame.len & NTCAN_RTR)) return -1;
  const int n = (frame.len & 0x0F) < 8 ? (frame.len & 0x0F) : 8;
  uint8_t d[8] = {};
  for (int i = 0; i < n; ++i) d[i] = frame.data[i];
  Emergency e;
  e.node_id = frame.id - kEmergencyBase;
  e.error_code = static_cast<uint16_t>(d[0] | (d[1] << 8));
  e.error_register = d[2];
  for (int i = 0; i < 5; ++i) e.manufacturer[i] = d[3 + i];
  e.length = static_cast<uint8_t>(n);
  e.taken_ms = taken_ms;
  *out = e;
  return 0;
}

const char* emergency_code_text(uint16_t error_code) {
  for (const CodeText& c : kCodeTexts)
    if (error_code >= c.first && error_code <= c.last) return c.text;
  return "unknown error code";
}

std::string error_register_text(uint8_t error_register) {
  if (error_register == 0) return "no error";
  std::string text;
  for (int bit = 0; bit < 8; ++bit) {
    if (!(error_register & (1u << bit))) continue;
    if (!text.empty()) text += ", ";
    text += kRegisterBits[bit];
  }
  return text;
}

std::string emergency_text(const Emergency& e) {
  char head[48];
  std::snprintf(head, sizeof head, "0x%04X ", e.error_code);
  char reg[24];
  std::snprintf(reg, sizeof reg, ", register 0x%02X: ", e.error_register);
  return head + std::string(emergency_code_text(e.error_code)) + reg + error_register_text(e.error_register);
}

}  // namespace vorbel
