// An SDO upload made of bare driver calls, the yardstick of the library's
// upload: per round trip one canSend of the request and one canTake of the
// answer, which a simulated node answering inside canSend has already put in
// the queue.
#ifndef VORBEL_BENCH_BARE_SDO_H
#define VORBEL_BENCH_BARE_SDO_H

#include <cstdint>

#include "ntcan.h"

namespace vorbel_bench {

// Upload (index, subindex 0) of node `node` on handle h into buffer (a value
// longer than size - 1 bytes is cut there; an expedited value is followed by
// a NUL). Returns 0, or -1 when an answer is missing or not the one expected
// (no waiting: the answer must be queued when canSend returns).
int bare_upload(NTCAN_HANDLE h, int node, uint16_t index, char* buffer, int size);

// Download of len bytes (1 or more) to (index, subindex 0) of node `node`
// on handle h: expedited up to 4 bytes, else segmented. Returns 0, or -1
// when an answer is missing or not the one expected.
int bare_download(NTCAN_HANDLE h, int node, uint16_t index, const uint8_t* data, int len);

// Driver calls of every kind made so far on a net.
uint64_t driver_calls_on(int net);

}  // namespace vorbel_bench

#endif  // VORBEL_BENCH_BARE_SDO_H
