// libVORBEL: texts of the codes that device code meets, for its logs and
// alarms. Included by D_vorbel.h.
//
// Every function here returns a static string (never freed, never changed)
// and may be called on any thread at any time, also before any node exists
// and after canline_shutdown().
#ifndef VORBEL_TEXTS_H
#define VORBEL_TEXTS_H

#include <cstdint>

// The text of an SDO abort code, as CiA 301 lists them, e.g. "object does
// not exist in the object dictionary" for 0x06020000 (what
// D_can::sdo_abort_code() returns after such an abort), "SDO protocol timed
// out" for 0x05040000, which the client sends when it gives up waiting.
// "no abort" for 0 (the last transfer did not end by an abort), "unknown
// abort code" for a code that CiA 301 does not list (a manufacturer's own).
const char* sdo_abort_text(uint32_t code);

// The meaning of one of the library's own results: 0, -1, 22, 32, 77 and
// 100 (see "Result codes" in D_vorbel.h), e.g. "the node's handle is not
// usable ..." for 77. Any other value is an NTCAN driver status, which
// can_error_str() names: for those the text says so ("an NTCAN driver
// status: see can_error_str"). can_error_str() itself keeps its texts.
const char* vorbel_result_text(int result);

#endif  // VORBEL_TEXTS_H
