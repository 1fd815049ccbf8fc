// The supervision thread of a line. Internal to the library.
#ifndef VORBEL_LINE_SUPERVISION_H
#define VORBEL_LINE_SUPERVISION_H

// Runs the supervision of the canline `ip` until its ThreadStop_ is set;
// returns ip (null at once for a null line).
__attribute__((visibility("hidden"))) void* can_control(void* ip);

#endif  // VORBEL_LINE_SUPERVISION_H
