#!/bin/bash
# Unpacks Debian's own jsoncpp source package (the version of the installed
# libjsoncpp-dev) into DEST, default .deps/jsoncpp-src in the repository.
# The static ARM build compiles it for the target, since Debian ships no
# static jsoncpp for armhf/arm64. Sources come through the private list of
# scripts/lib/debsrc.sh under .deps/apt. Idempotent.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
DEST=${1:-$ROOT/.deps/jsoncpp-src}
if [ -f "$DEST/CMakeLists.txt" ]; then echo "jsoncpp source: $DEST"; exit 0; fi

# With several architectures installed dpkg-query prints one version per
# architecture; they are the same (multiarch packages must agree), take one.
VER=$(dpkg-query -W -f='${Version}\n' libjsoncpp-dev 2>/dev/null | head -n 1 || true)
[ -n "$VER" ] || { echo "fetch-jsoncpp-src: libjsoncpp-dev is not installed" >&2; exit 1; }
command -v dpkg-source >/dev/null || { echo "fetch-jsoncpp-src: needs dpkg-dev" >&2; exit 1; }

APT=$ROOT/.deps/apt
# shellcheck source=lib/debsrc.sh
. "$ROOT/scripts/lib/debsrc.sh"
debsrc_prepare "$APT" || { echo "fetch-jsoncpp-src: no Debian source list" >&2; exit 1; }
mkdir -p "$APT/work"
rm -rf "$APT/work"/*
(cd "$APT/work" && apt-get "${DEBSRC_OPTS[@]}" source -q "libjsoncpp=$VER")
SRC=$(find "$APT/work" -mindepth 1 -maxdepth 1 -type d -name 'libjsoncpp-*' | head -1)
[ -n "$SRC" ] && [ -f "$SRC/CMakeLists.txt" ] || { echo "fetch-jsoncpp-src: unpack failed" >&2; exit 1; }
rm -rf "$DEST"; mkdir -p "$(dirname "$DEST")"
mv "$SRC" "$DEST"
echo "jsoncpp source ($VER, Debian source package): $DEST"
