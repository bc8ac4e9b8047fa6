#!/bin/bash
# Installs every Debian package the project needs. Idempotent: apt-get update
# runs only when something is missing. Usage: scripts/setup.sh [--arm]
set -euo pipefail

PKGS=(
  build-essential cmake pkgconf git
  libjsoncpp-dev libgtest-dev googletest
  qtbase5-dev qtbase5-dev-tools libqt5serialbus5-dev libqt5serialport5-dev
  libssh-dev fonts-wqy-microhei qttranslations5-l10n
  zlib1g-dev      # the tool inflates modbus.zip's entries to check them before an upgrade
  python3 python3-pymodbus python3-serial-asyncio
  busybox tftp-hpa tftpd-hpa openssh-server
  iproute2 util-linux procps psmisc
  xvfb clang libclang-rt-14-dev
  libmodbus-dev   # bench only: bench/mbref_server, never linked into the product
)
ARM_PKGS=(
  crossbuild-essential-armhf crossbuild-essential-arm64
  libjsoncpp-dev:armhf libgtest-dev:armhf pkgconf:armhf
  libjsoncpp-dev:arm64 libgtest-dev:arm64 pkgconf:arm64
  qemu-user zip unzip dpkg-dev
)

ARM=0
if [ "${1:-}" = "--arm" ]; then ARM=1; PKGS+=("${ARM_PKGS[@]}"); fi

SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO="sudo"; fi

# --- ARM: the :armhf/:arm64 packages need the foreign architectures enabled.
need_update=0
if [ $ARM = 1 ]; then
  for a in armhf arm64; do
    if ! dpkg --print-foreign-architectures | grep -qx "$a"; then
      echo "setup: enabling architecture $a"
      $SUDO dpkg --add-architecture "$a"
      need_update=1
    fi
  done
fi

missing=()
for p in "${PKGS[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

fetch_jsoncpp_src() {
  # The static armhf service links jsoncpp built from Debian's own source package.
  [ $ARM = 1 ] && "$(dirname "$0")/fetch-jsoncpp-src.sh"
  return 0
}

if [ ${#missing[@]} -eq 0 ] && [ $need_update = 0 ]; then
  echo "setup: all packages present"
  fetch_jsoncpp_src
  exit 0
fi

echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# apt-get update ignores DPkg::Lock::Timeout, so retry it a few times.
for i in 1 2 3 4 5 6 7 8 9 10; do
  if $SUDO apt-get -o DPkg::Lock::Timeout=600 update -q; then break; fi
  [ "$i" = 10 ] && { echo "setup: apt-get update failed" >&2; exit 1; }
  sleep 6
done
$SUDO apt-get -o DPkg::Lock::Timeout=600 install -y -q --no-install-recommends "${missing[@]}"
fetch_jsoncpp_src
echo "setup: done"
