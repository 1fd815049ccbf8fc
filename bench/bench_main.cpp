// vorbel_bench: the cost of the server loop, of frame I/O and of SDO
// uploads, each beside the bare driver doing the same work in the same run.
// See bench/README.md for the figures and how to read them.
#include "bench_common.h"

int main(int argc, char** argv) {
  vorbel_bench::prepare_process();
  benchmark::AddCustomContext("driver_trace", "off");
  benchmark::AddCustomContext("lib_bare_timing", "alternating blocks in one run, clock read subtracted");
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
