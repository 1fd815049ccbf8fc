#!/usr/bin/env bash
# Installs the project into a scratch prefix and builds the out-of-tree
# consumer (examples/consumer/) against the installed packages, once with
# CMake's find_package and once with pkg-config, and runs both: each must
# read the identity of its simulated node (its strings and its identity
# object 0x1018) and write its heartbeat time 0x1017. Then the same for a
# library built with VORBEL_PLATFORM_FILE, the route to the real framework
# and driver, with the installed stand-ins in their place; and a library
# built on the installed NTCAN driver over socketcand, which must load that
# driver.
set -euo pipefail
cd "$(dirname "$0")/../.."

if ! command -v pkg-config >/dev/null; then
  echo "consumer: installing pkgconf"
  export DEBIAN_FRONTEND=noninteractive
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq pkgconf
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/vorbel-consumer-XXXXXX")
trap 'rm -rf "$work"' EXIT
identity='MOTOR.MANU  = DC-200 drive controller'
vendor='0x1018/1 vendor id     = 0x000000DC (0 '
heartbeat='heartbeat producer time 0x1017 = 500 ms (download 0 '

# The build of `make test` (or VORBEL_BUILD_DIR) when there is one, else a
# build of the library and the stand-ins alone.
build=${VORBEL_BUILD_DIR:-build}
if [ -f "$build/CMakeCache.txt" ]; then
  cmake --build "$build" --target VORBEL canopen_device ntcan_socketcand
else
  build=$work/build
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORBEL_WERROR=ON \
    -DVORBEL_BUILD_TESTS=OFF -DVORBEL_BUILD_EXAMPLES=OFF -DVORBEL_BUILD_BENCH=OFF >/dev/null
  cmake --build "$build" -j2
fi

prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(cd "$prefix" && dirname "$(find . -name libVORBEL.so -print -quit)")
libdir=${libdir#./}
for f in include/D_vorbel.h "$libdir/libVORBEL.so" "$libdir/cmake/VORBEL/VORBELConfig.cmake" \
         "$libdir/pkgconfig/vorbel.pc" "$libdir/vorbel-sim/libntcan.so" include/vorbel-sim/ntcan_sim.h \
         "$libdir/cmake/TELVOsim/TELVOsimConfig.cmake" "$libdir/cmake/NTCANsim/NTCANsimConfig.cmake" \
         "$libdir/cmake/CANopenSim/CANopenSimConfig.cmake"; do
  [ -e "$prefix/$f" ] || { echo "consumer: $f is not installed"; exit 1; }
done
# (grep reads all its input, not -q: with pipefail a writer cut off early
# by a grep that stopped at the first match would fail the check.)
for lib in libVORBEL.so vorbel-sim/libtelvo.so vorbel-sim/libntcan.so vorbel-sim/libcanopen_device.so \
           vorbel-socketcand/libntcan.so; do
  readelf -d "$prefix/$libdir/$lib" | grep -F "Library soname: [${lib##*/}.1]" >/dev/null ||
    { echo "consumer: $lib has no SONAME ${lib##*/}.1"; exit 1; }
done
echo "consumer: installed into $prefix ($libdir)"

# run <program>: runs it, shows its output, checks the identity and that
# libVORBEL comes from `want_lib`.
run() {
  local out
  out=$("$1" 2>/dev/null)
  echo "$out" | sed 's/^/  /'
  grep -qF "$identity" <<<"$out" || { echo "consumer: $1 did not read the identity"; exit 1; }
  grep -qF "$vendor" <<<"$out" || { echo "consumer: $1 did not read 0x1018"; exit 1; }
  grep -qF "$heartbeat" <<<"$out" || { echo "consumer: $1 did not write 0x1017"; exit 1; }
  ldd "$1" | grep "libVORBEL.so.1 => $want_lib/" >/dev/null ||
    { echo "consumer: $1 does not load libVORBEL from $want_lib"; ldd "$1"; exit 1; }
}

echo "consumer: CMake find_package(VORBEL)"
cmake -S examples/consumer -B "$work/cmake" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake" >/dev/null
want_lib=$prefix/$libdir run "$work/cmake/minimal_server"

# The framework and the driver are libVORBEL's own dependencies: vorbel.pc
# gives their headers, but a program links the framework (which it uses)
# itself; the minimal server also uses the simulated device.
echo "consumer: pkg-config vorbel telvo-sim canopen-sim"
export PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig
if pkg-config --libs vorbel | grep -Eq -- '-l(telvo|ntcan|canopen_device)'; then
  echo "consumer: pkg-config --libs vorbel names the stand-ins: $(pkg-config --libs vorbel)"; exit 1
fi
g++ -std=c++17 -Wall -Wextra -Wpedantic -Werror examples/consumer/minimal_server.cpp \
  $(pkg-config --cflags --libs vorbel telvo-sim canopen-sim) \
  "-Wl,-rpath,$(pkg-config --variable=libdir vorbel):$(pkg-config --variable=libdir canopen-sim)" \
  -o "$work/pkgconfig-minimal_server"
want_lib=$(pkg-config --variable=libdir vorbel) run "$work/pkgconfig-minimal_server"
unset PKG_CONFIG_PATH

# on_platform NAME DRIVER TARGET: the library built and installed (into
# $work/prefix-NAME) with a platform file of the installed framework stand-in
# and the installed driver package DRIVER, whose target TARGET is the driver.
on_platform() {
  cat > "$work/$1.cmake" <<PLATFORM
# The framework and the driver, found as installed packages.
find_package(TELVOsim REQUIRED)
find_package($2 REQUIRED)
if(NOT TARGET telvo)
  add_library(telvo ALIAS TELVOsim::telvo)
  add_library(ntcan ALIAS $3)
endif()
PLATFORM
  cmake -S . -B "$work/build-$1" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORBEL_WERROR=ON \
    -DVORBEL_PLATFORM_FILE="$work/$1.cmake" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
  cmake --build "$work/build-$1" -j2 >/dev/null
  cmake --install "$work/build-$1" --prefix "$work/prefix-$1" >/dev/null
}

echo "consumer: VORBEL_PLATFORM_FILE, the installed stand-ins as the platform"
on_platform platform NTCANsim NTCANsim::ntcan
cmake -S examples/consumer -B "$work/cmake-platform" "-DCMAKE_PREFIX_PATH=$work/prefix-platform;$prefix" >/dev/null
cmake --build "$work/cmake-platform" >/dev/null
want_lib=$work/prefix-platform/$libdir run "$work/cmake-platform/minimal_server"
echo "consumer: all builds read the identity"

echo "consumer: VORBEL_PLATFORM_FILE with the installed driver over socketcand"
on_platform socketcand NTCANsocketcand NTCANsocketcand::ntcan_socketcand
ldd "$work/prefix-socketcand/$libdir/libVORBEL.so" | grep "libntcan.so.1 => $prefix/$libdir/vorbel-socketcand/" >/dev/null ||
  { echo "consumer: libVORBEL does not load the socketcand driver"; ldd "$work/prefix-socketcand/$libdir/libVORBEL.so"; exit 1; }
echo "consumer: libVORBEL built on the driver over socketcand loads it"
