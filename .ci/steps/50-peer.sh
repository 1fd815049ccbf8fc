#!/usr/bin/env bash
# libVORBEL against CANopen stacks it did not write, over the simulated
# driver's socketcand server: the npm package canopen 6.2.1 as node 9 (read
# its identity, start and stop it, receive its emergency (logged and queued
# decoded), set its heartbeat time by SDO download, move a value by block
# transfers, read, configure and decode its transmit PDO and send it a
# receive PDO under the line's SYNC producer), and python-can's
# socketcand client watching the same net, whose frames must be the driver's
# trace. Installs node, npm, the package (into tests/peer/node_modules, from
# the committed lock file) and python3-can where missing; a part is skipped,
# saying so, only where its tools cannot be installed at all.
set -euo pipefail
cd "$(dirname "$0")/../.."

install() {
  echo "peer: installing $*"
  export DEBIAN_FRONTEND=noninteractive
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq && $sudo apt-get install -y -qq "$@"
}

if ! { command -v node && command -v npm; } >/dev/null 2>&1; then install nodejs npm || true; fi
if ! { command -v node && command -v npm; } >/dev/null 2>&1; then
  echo "peer: node and npm cannot be installed on this machine: the peer check (and the python-can watch of its net) is SKIPPED"
  exit 0
fi
# Its CRC module is native: built here by node-gyp with node's own headers.
(cd tests/peer && npm ci --no-audit --no-fund)
args=(tests/peer)
if ! /usr/bin/python3 -c 'import can' >/dev/null 2>&1; then install python3-can || true; fi
if /usr/bin/python3 -c 'import can' >/dev/null 2>&1; then
  args+=(--watch tests/peer/watch_net.py)
else
  echo "peer: python3-can cannot be installed on this machine: the python-can watch is SKIPPED"
fi

cmake --preset default >/dev/null
cmake --build --preset default --target vorbel_peer_check
VORBEL_REQUIRE_PEER=1 build/tests/peer/vorbel_peer_check "${args[@]}"
