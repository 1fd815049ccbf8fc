// Driver settings of every handle the library opens. Internal to the
// library.
#ifndef VORBEL_HANDLE_SETTINGS_H
#define VORBEL_HANDLE_SETTINGS_H

#include <cstdint>

namespace vorbel {

constexpr uint32_t kModeFlags = 0;
constexpr int32_t kTxQueueSize = 10;
constexpr int32_t kRxQueueSize = 100;
constexpr int32_t kTxTimeoutMs = 1000;
// How long canRead waits for a frame on a handle of the library.
constexpr int32_t kRxTimeoutMs = 1000;

}  // namespace vorbel

#endif  // VORBEL_HANDLE_SETTINGS_H
