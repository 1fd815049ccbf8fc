#!/usr/bin/env bash
# Bounded fuzzing: each libFuzzer target of fuzz/ runs from its seed corpus
# for VORBEL_FUZZ_SECONDS (15 s by default, 90 s for the six). New
# inputs and any crash input stay in build-fuzz/work/. Needs clang with its
# runtime libraries; installs them from Debian's packages when missing.
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds=${VORBEL_FUZZ_SECONDS:-15}
targets=(sdo_upload gateway_lookup config_address recognisers socketcand_wire eds_reader)

install() {
  echo "fuzz: installing $*"
  export DEBIAN_FRONTEND=noninteractive
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq "$@"
}

command -v clang++ >/dev/null 2>&1 || install clang
# libFuzzer and the sanitizer runtimes come with clang's runtime package,
# which is only recommended by clang.
probe=$(mktemp -d)
trap 'rm -rf "$probe"' EXIT
echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }' > "$probe/p.cpp"
if ! clang++ -fsanitize=fuzzer,address,undefined "$probe/p.cpp" -o "$probe/p" 2>/dev/null; then
  major=$(clang++ -dumpversion | cut -d. -f1)
  install "libclang-rt-$major-dev"
fi

cmake -S fuzz -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang
cmake --build build-fuzz -j2

work=build-fuzz/work
rm -rf "$work"
for target in "${targets[@]}"; do
  mkdir -p "$work/$target"
  echo "fuzz: $target for $seconds s"
  if ! "build-fuzz/fuzz_$target" "$work/$target" "fuzz/corpus/$target" -max_total_time="$seconds" \
      -close_fd_mask=1 -print_final_stats=1 -artifact_prefix="$work/$target-" >"$work/$target.log" 2>&1; then
    tail -n 60 "$work/$target.log"
    echo "fuzz: $target found a failing input (kept in $work/)"
    exit 1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/$target.log")
  echo "fuzz: $target clean after $runs inputs"
done
echo "fuzz: all targets clean"
