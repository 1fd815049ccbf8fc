#!/usr/bin/env bash
# The whole test suite twice more: under AddressSanitizer with
# UndefinedBehaviorSanitizer, and under ThreadSanitizer. The asan and tsan
# presets build Debug into build-asan/ and build-tsan/, make every sanitizer
# report fatal (-fno-sanitize-recover=all, halt_on_error=1, leaks detected)
# and fail an empty test selection.
set -euo pipefail
cd "$(dirname "$0")/../.."

for preset in asan tsan; do
  echo "sanitizers: $preset"
  start=$SECONDS
  cmake --workflow --preset "$preset"
  echo "sanitizers: $preset suite green in $((SECONDS - start)) s"
done
