// Refusing a client's write the way the framework reports errors. Internal
// to the library.
#ifndef VORBEL_CLIENT_WRITE_H
#define VORBEL_CLIENT_WRITE_H

#include <string>

#include "D_vorbel.h"
#include "line/line_log.h"

namespace vorbel {

// Logs "<change> by user@host refused: <reason>" under the equipment
// function's name ("D_can" without one) and raises the property's error,
// which fails the client's call. Nothing else happens.
inline void refuse_client_write(D_fct& p, EqFct* ef, const std::string& change, const std::string& reason) {
  std::string text = change;
  if (ef) text += " by " + ef->get_username() + "@" + ef->get_hostname();
  log(ef ? ef->name() : "D_can", text + " refused: " + reason);
  p.d_error(NTCAN_INVALID_PARAMETER, reason);
}

}  // namespace vorbel

#endif  // VORBEL_CLIENT_WRITE_H
