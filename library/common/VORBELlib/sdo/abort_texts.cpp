// The texts of SDO abort codes.
#include <cstddef>

#include "vorbel_texts.h"

namespace {

struct AbortText {
  uint32_t code;
  const char* text;
};

// The abort codes of CiA 301, in their order.
const AbortText kAbortTexts[] = {
    {0x05030000, "toggle bit not alternated"},
    {0x05040000, "SDO protocol timed out"},
    {0x05040001, "client/server command specifier not valid or unknown"},
    {0x05040002, "invalid block size (block mode only)"},
    {0x05040003, "invalid sequence number (block mode only)"},
    {0x05040004, "CRC error (block mode only)"},
    {0x05040005, "out of memory"},
    {0x06010000, "unsupported access to an object"},
    {0x06010001, "attempt to read a write only object"},
    {0x06010002, "attempt to write a read only object"},
    {0x06020000, "object does not exist in the object dictionary"},
    {0x06040041, "object cannot be mapped to the PDO"},
    {0x06040042, "the number and length of the objects to be mapped would exceed PDO length"},
    {0x06040043, "general parameter incompatibility reason"},
    {0x06040047, "general internal incompatibility in the device"},
    {0x06060000, "access failed due to a hardware error"},
    {0x06070010, "data type does not match, length of service parameter does not match"},
    {0x06070012, "data type does not match, length of service parameter too high"},
    {0x06070013, "data type does not match, length of service parameter too low"},
    {0x06090011, "sub-index does not exist"},
    {0x06090030, "invalid value for parameter (download only)"},
    {0x06090031, "value of parameter written too high (download only)"},
    {0x06090032, "value of parameter written too low (download only)"},
    {0x06090036, "maximum value is less than minimum value"},
    {0x060A0023, "resource not available: SDO connection"},
    {0x08000000, "general error"},
    {0x08000020, "data cannot be transferred or stored to the application"},
    {0x08000021, "data cannot be transferred or stored to the application because of local control"},
    {0x08000022, "data cannot be transferred or stored to the application because of the present device state"},
    {0x08000023,
     "object dictionary dynamic generation fails or no object dictionary is present (e.g. object dictionary "
     "is generated from file and generation fails because of a file error)"},
    {0x08000024, "no data available"},
};

}  // namespace

const char* sdo_abort_text(uint32_t code) {
  if (code == 0) return "no abort";
  for (const AbortText& a : kAbortTexts)
    if (a.code == code) return a.text;
  return "unknown abort code";
}
