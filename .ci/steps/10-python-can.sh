#!/usr/bin/env bash
# Reads the demo's bus trace back with python-can's candump log reader, a
# reader this project did not write. `make test` skips that test where
# python-can is missing; here Debian's python3-can is installed and the test
# must run and pass.
set -euo pipefail
cd "$(dirname "$0")/../.."

if ! /usr/bin/python3 -c 'import can' >/dev/null 2>&1; then
  echo "python-can: installing python3-can"
  export DEBIAN_FRONTEND=noninteractive
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq python3-can
fi

# The default preset's build, configured again so that a python3 installed
# just now is found, with the demo up to date.
cmake --preset default >/dev/null
cmake --build --preset default --target vorbel_demo
VORBEL_REQUIRE_PYTHON_CAN=1 ctest --preset default -L demo_python
