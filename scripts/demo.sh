#!/bin/bash
# The main job: installs and builds what is needed, then runs busrelay in a
# private network namespace with gwsim as the gateway, runs a short Modbus
# session against it and shows a summary; logs stay in build/demo/.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
scripts/setup.sh
cmake -S "$ROOT" -B "$ROOT/build" >/dev/null
cmake --build "$ROOT/build" -j"$(nproc 2>/dev/null || echo 2)" --target busrelay gwsim

exec /usr/bin/python3 "$ROOT/scripts/demo.py" "$ROOT/build/bin"
