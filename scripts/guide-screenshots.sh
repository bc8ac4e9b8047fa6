#!/bin/bash
# Retakes the guide's pictures (docs/screenshots): the tool maximized on a
# 1366x768 Xvfb screen, with a gateway's data in every tab (busrelay with the
# sample configuration and gwsim, in a private network namespace).
# Needs the normal build (build/bin: mapdesk, busrelay, gwsim) and Xvfb.
# Usage: scripts/guide-screenshots.sh [OUT_DIR]   (default docs/screenshots)
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
OUT=$(realpath -m "${1:-docs/screenshots}")
BIN=$ROOT/build/bin
for p in mapdesk busrelay gwsim; do
  [ -x "$BIN/$p" ] || { echo "guide-screenshots: no $BIN/$p (build first)"; exit 2; }
done
command -v Xvfb >/dev/null || { echo "guide-screenshots: no Xvfb (package xvfb)"; exit 2; }
mkdir -p "$OUT"

scripts/nsrun bash -c '
  set -eu
  ROOT=$1 BIN=$2 OUT=$3
  site=$(mktemp -d)
  cp -r "$ROOT/busrelay/sample/." "$site/"
  cd "$site"
  "$BIN/gwsim" --report-ms 1000 >gwsim.log 2>&1 &
  gw=$!
  for i in $(seq 50); do (exec 3<>/dev/tcp/127.0.0.1/9981) 2>/dev/null && break; sleep 0.1; done
  "$BIN/busrelay" >busrelay.log 2>&1 &
  relay=$!
  Xvfb :97 -screen 0 1366x768x24 -nolisten tcp >/dev/null 2>&1 &
  x=$!
  for i in $(seq 50); do [ -e /tmp/.X11-unix/X97 ] && break; sleep 0.1; done
  for i in $(seq 100); do (exec 3<>/dev/tcp/127.0.0.1/502) 2>/dev/null && break; sleep 0.1; done
  rc=0
  # The tool settings (site list, pins) in a scratch folder, never the user ones.
  DISPLAY=:97 QT_QPA_PLATFORM=xcb XDG_CONFIG_HOME="$site/config" "$BIN/mapdesk" --screenshot "$OUT" --gateway 127.0.0.1 || rc=$?
  kill -INT $relay; kill $gw $x; wait 2>/dev/null || true
  exit $rc' nsrun "$ROOT" "$BIN" "$OUT"
