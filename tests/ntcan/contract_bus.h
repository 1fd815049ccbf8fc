// The world around the driver under the contract tests, one implementation
// per driver: a fresh start (nets 0..3 usable), and a device that puts a
// frame on a net (it may reach the handles later: read it with canRead).
#ifndef VORBEL_CONTRACT_BUS_H
#define VORBEL_CONTRACT_BUS_H

#include "ntcan.h"

namespace contract {
void start();
void from_device(int net, const CMSG& m);
}  // namespace contract

#endif  // VORBEL_CONTRACT_BUS_H
