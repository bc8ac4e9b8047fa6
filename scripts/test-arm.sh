#!/bin/bash
# Nightly-style ARM run: installs the cross toolchains (setup.sh --arm),
# builds the host tree (gwsim stays a host program), cross-builds everything
# for armhf (busrelay fully static, jsoncpp from Debian's source package) and
# runs the service's tests under qemu-arm through CTest; then prints the
# stripped size of the packaged binary. Usage: scripts/test-arm.sh [armhf|arm64]
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
ARCH=${1:-armhf}
JOBS=$(nproc 2>/dev/null || echo 2)

scripts/setup.sh --arm
if [ ! -x build/bin/gwsim ]; then
  cmake -S . -B build -DBUILD_MAPDESK=OFF >build.configure.log 2>&1 || { cat build.configure.log; exit 1; }
  cmake --build build -j"$JOBS" --target gwsim
fi
B=$ROOT/build-$ARCH
cmake -S . -B "$B" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchains/$ARCH.cmake" -DBUILD_MAPDESK=OFF \
  -DHOST_BIN_DIR="$ROOT/build/bin" >"$B.configure.log" 2>&1 || { cat "$B.configure.log"; exit 1; }
cmake --build "$B" -j"$JOBS"
(cd "$B" && ctest --output-on-failure -j"$JOBS")
unzip -l "$B/package/modbus.zip" | grep ' modbus/busrelay$' | awk '{print "stripped busrelay for '"$ARCH"': " $1 " bytes"}'
