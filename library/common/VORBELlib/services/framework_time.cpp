// Framework time in milliseconds (see framework_time.h).
#include "services/framework_time.h"

#include <chrono>

#include "D_vorbel.h"

// Looked up weakly: the library must also load into a framework that does
// not provide it, where the symbol stays null.
extern long long TELVOtime_ms() __attribute__((weak));
extern long long TELVOtime_us() __attribute__((weak));

namespace vorbel {

long long framework_time_ms() {
  if (TELVOtime_ms) return TELVOtime_ms();
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

long long framework_time_us() {
  if (TELVOtime_us) return TELVOtime_us();
  using namespace std::chrono;
  return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

void framework_sleep_us(long long us) {
  if (us > 0) TELVOsleep(static_cast<int>(us / 1000000), static_cast<int>(us % 1000000));
}

}  // namespace vorbel
