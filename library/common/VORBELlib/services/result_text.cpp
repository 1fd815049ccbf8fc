// The meaning of the library's own result codes.
#include "D_vorbel.h"

const char* vorbel_result_text(int result) {
  switch (result) {
    case 0:
      return "success";
    case -1:
      return "the library's own failure: line number outside 1..20, line down when the node joined it, SDO "
             "time-out, abort or protocol error, or no receive buffer";
    case NTCAN_INVALID_PARAMETER:
      return "invalid parameter: refused before anything was sent";
    case 32:
      return "no matching reply to the poll";
    case NTCAN_INVALID_HANDLE:
      return "the node's handle is not usable (its line closed it, or the node is not on its line): nothing "
             "was sent or taken";
    case 100:
      return "the frame looked for was found";
    default:
      return "an NTCAN driver status: see can_error_str";
  }
}
