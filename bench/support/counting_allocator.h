// Counts heap allocations, so that benchmarks and tests can show that a path
// of the library allocates nothing.
//
// Linking counting_allocator.cpp into a program replaces the global
// operator new (every form: plain, array, nothrow, aligned) with one that
// counts each allocation for the calling thread and for the whole process
// before it takes the memory from malloc. Reading a count never allocates,
// so a count may be read on a thread in the middle of the path it watches.
#ifndef VORBEL_BENCH_COUNTING_ALLOCATOR_H
#define VORBEL_BENCH_COUNTING_ALLOCATOR_H

namespace vorbel_bench {

// Allocations made so far by the calling thread.
long allocations_on_this_thread();
// Allocations made so far by all threads of the process.
long allocations_in_process();

}  // namespace vorbel_bench

#endif  // VORBEL_BENCH_COUNTING_ALLOCATOR_H
