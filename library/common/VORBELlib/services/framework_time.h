// Framework time in milliseconds. Internal to the library.
#ifndef VORBEL_FRAMEWORK_TIME_H
#define VORBEL_FRAMEWORK_TIME_H

namespace vorbel {

// Milliseconds since the Unix epoch on the framework's clock where the
// framework offers a millisecond clock (TELVOtime_ms); on a framework
// without one, the system clock, which is what the framework's own time is
// in a running server. TELVOtime() alone counts whole seconds: too coarse
// for heartbeat time-outs of a few hundred milliseconds.
long long framework_time_ms();
// The same in microseconds (TELVOtime_us where the framework has it).
long long framework_time_us();
// Block the calling thread for us microseconds of framework time
// (TELVOsleep).
void framework_sleep_us(long long us);

}  // namespace vorbel

#endif  // VORBEL_FRAMEWORK_TIME_H
