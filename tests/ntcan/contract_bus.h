// What the driver contract tests (contract_test.cpp) need of the world
// around the driver under test: a fresh start, and a device outside the
// process's handles that puts frames on a net. One implementation per driver.
#ifndef VORBEL_CONTRACT_BUS_H
#define VORBEL_CONTRACT_BUS_H

#include "ntcan.h"

namespace contract {

constexpr int kNets = 4;  // nets 0..3 are usable

// Called first in every test.
void start();
// Puts a frame on `net` as a device would; it may reach the handles later
// (read it with canRead).
void from_device(int net, const CMSG& m);

}  // namespace contract

#endif  // VORBEL_CONTRACT_BUS_H
