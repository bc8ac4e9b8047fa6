#!/bin/bash
# The main job: installs and builds what is needed, then runs busrelay in a
# private network namespace, shows its log, and stops it with SIGINT.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
scripts/setup.sh
cmake -S "$ROOT" -B "$ROOT/build" >/dev/null
cmake --build "$ROOT/build" -j"$(nproc 2>/dev/null || echo 2)" --target busrelay

exec /usr/bin/python3 "$ROOT/scripts/demo.py" "$ROOT/build/bin"
