#!/bin/bash
# Windows run of the tool, under Debian's wine (not part of scripts/test.sh:
# the first run builds Qt for Windows, 40+ minutes on 2 cores).
#  1. scripts/build-windows.sh: dependencies (cached), mapdesk.exe, dist/ and its zip
#  2. cross-builds the tool's tests that need no Linux-only peer (map editor and
#     map.json round trip, Windows files and paths, TFTP server against Linux's
#     busybox tftp and tftp-hpa, Modbus panel against pymodbus's server, SSH
#     handshake with OpenSSH's sshd, the allow-list editor) and runs them under wine, offscreen, in
#     one private network namespace; the Linux peers are started through
#     mapdesk/tests/peerrunner.py
#  3. the packaged mapdesk.exe alone (only the DLLs of the zip) on Xvfb with the
#     real Windows platform plugin: --screenshot into build-win64/screenshots
# Exits non-zero when any step fails. Environment: WIN64_DEPS as for
# build-windows.sh; WINEPREFIX defaults to $WIN64_DEPS/wineprefix.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
export WIN64_DEPS=${WIN64_DEPS:-$ROOT/.deps/win64}
DEPS=$WIN64_DEPS
JOBS=${JOBS:-2}
# The tool's build tree (mapdesk_core is not compiled twice); the tests are added to it.
B=${WIN64_BUILD:-$ROOT/build-win64}
TESTS="tst_mapeditor;tst_winfiles;tst_tftpserver;tst_modbuspanel;tst_sshhandshake;tst_acleditor"
T0=$(date +%s)
log() { printf '[test-windows %4ds] %s\n' "$(( $(date +%s) - T0 ))" "$*"; }

scripts/build-windows.sh

# Wine and the tests' Linux peers; the CJK font only for the screenshots.
PKGS=(wine wine64 xvfb xauth busybox tftp-hpa python3-pymodbus openssh-server openssh-client fonts-wqy-microhei)
missing=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  log "installing ${missing[*]}"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends -o DPkg::Lock::Timeout=600 "${missing[@]}"
fi

log "cross-building the tests"
cmake -S "$ROOT" -B "$B" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchains/mingw64.cmake" -DWIN64_DEPS="$DEPS" \
  -DCMAKE_BUILD_TYPE=Release -DBUILD_BUSRELAY=OFF -DBUILD_TESTING=ON "-DMAPDESK_TESTS=$TESTS" \
  >"$B.configure.log" 2>&1 || { cat "$B.configure.log"; exit 1; }
nice -n 10 cmake --build "$B" -j"$JOBS"

export WINEPREFIX=${WINEPREFIX:-$DEPS/wineprefix} WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
winpath() { echo "Z:$1" | tr / '\\'; }
GCCLIB=$(dirname "$(x86_64-w64-mingw32-gcc-posix -print-libgcc-file-name)")
# The tests load Qt and friends from where they were built.
export WINEPATH="$(winpath "$DEPS/qt5/bin");$(winpath "$DEPS/prefix/bin");$(winpath "$GCCLIB");$(winpath /usr/x86_64-w64-mingw32/lib)"
export QT_PLUGIN_PATH=$(winpath "$DEPS/qt5/plugins")
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  log "wine prefix $WINEPREFIX"
  wine wineboot -i >/dev/null 2>&1
  wineserver -w
fi

log "tests under wine"
# One private network (ports 5069, 5020 and the runner's are free, loopback
# only) and a private /tmp for the whole run; wineserver starts inside it.
set +e
scripts/nsrun bash -c '
  set -u
  /usr/bin/python3 "$1/mapdesk/tests/peerrunner.py" 5099 "$WINEPREFIX" &
  runner=$!
  export PEER_RUNNER=127.0.0.1:5099
  for i in $(seq 50); do (exec 3<>/dev/tcp/127.0.0.1/5099) 2>/dev/null && break; sleep 0.1; done
  (cd "$2" && ctest --output-on-failure --timeout 600)
  rc=$?
  wineserver -k 2>/dev/null
  kill $runner
  wait $runner 2>/dev/null
  exit $rc' nsrun "$ROOT" "$B"
rc=$?
set -e
[ "$rc" = 0 ] || { log "tests FAILED (ctest exit $rc)"; exit "$rc"; }

log "screenshots from the packaged program"
SHOTS=$B/screenshots
rm -rf "$SHOTS" "$B/shot-run"
# The zip's contents alone: no WINEPATH, no plugin path.
mkdir -p "$B/shot-run" && unzip -q "$ROOT/dist/mapdesk-win64.zip" -d "$B/shot-run"
env -u WINEPATH -u QT_PLUGIN_PATH xvfb-run -a -s "-screen 0 1366x768x24" \
  wine "$B/shot-run/mapdesk-win64/mapdesk.exe" --screenshot "$(winpath "$SHOTS")" >"$B/screenshots.log" 2>&1 \
  || { cat "$B/screenshots.log"; log "screenshots FAILED"; exit 1; }
wineserver -w
# The same tabs as the Linux pictures in docs/screenshots, side by side in size.
dims() { file -b "$1" | sed -n 's/^PNG image data, \([0-9]* x [0-9]*\),.*/\1/p'; }
bad=0
for linux in "$ROOT"/docs/screenshots/tab*.png; do
  name=$(basename "$linux")
  if [ -f "$SHOTS/$name" ]; then
    echo "  $name: Linux $(dims "$linux"), wine $(dims "$SHOTS/$name")"
  else
    echo "  $name: missing from the wine run" >&2; bad=1
  fi
done
[ "$(find "$SHOTS" -name 'tab*.png' | wc -l)" = "$(ls "$ROOT"/docs/screenshots/tab*.png | wc -l)" ] || bad=1
[ "$bad" = 0 ] || { log "screenshots differ from the Linux set"; exit 1; }
log "screenshots in $SHOTS (Linux ones: docs/screenshots)"
log "all passed"
