#ifndef VORBEL_ALLOCATION_COUNTER_H
#define VORBEL_ALLOCATION_COUNTER_H
// Heap allocations made so far by the calling thread.
long allocations_on_this_thread();
#endif
