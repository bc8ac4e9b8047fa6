#!/bin/bash
# Unpacks Debian's own jsoncpp source package (the version of the installed
# libjsoncpp-dev) into DEST, default .deps/jsoncpp-src in the repository.
# The static ARM build compiles it for the target, since Debian ships no
# static jsoncpp for armhf/arm64. The machine's apt sources carry no deb-src
# lines, so a private sources list and list directory under .deps/apt are
# used; the system's apt configuration is left as it is. Idempotent.
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
mkdir -p "$APT/lists/partial" "$APT/cache/archives/partial" "$APT/work"
: >"$APT/sources.list"
# deb-src lines for the same suites as the machine's deb lines.
for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
  [ -f "$f" ] || continue
  sed -n 's/^deb \(.*debian.*\)$/deb-src \1/p' "$f" >>"$APT/sources.list"
done
for f in /etc/apt/sources.list.d/*.sources; do
  [ -f "$f" ] || continue
  awk 'BEGIN{RS=""} /Types:[^\n]*deb/ && /URIs:[^\n]*debian/ {
         uri=""; suites=""; comps=""; key="";
         n=split($0, L, "\n");
         for (i=1;i<=n;i++) {
           if (L[i] ~ /^URIs:/) { sub(/^URIs:[ \t]*/, "", L[i]); uri=L[i] }
           else if (L[i] ~ /^Suites:/) { sub(/^Suites:[ \t]*/, "", L[i]); suites=L[i] }
           else if (L[i] ~ /^Components:/) { sub(/^Components:[ \t]*/, "", L[i]); comps=L[i] }
           else if (L[i] ~ /^Signed-By:/) { sub(/^Signed-By:[ \t]*/, "", L[i]); key=L[i] }
         }
         ns=split(suites, S, " ");
         for (j=1;j<=ns;j++) printf "deb-src %s%s %s %s\n", (key!="" ? "[signed-by=" key "] " : ""), uri, S[j], comps
       }' "$f" >>"$APT/sources.list"
done
[ -s "$APT/sources.list" ] || { echo "fetch-jsoncpp-src: no Debian sources found" >&2; exit 1; }

OPTS=(-o Dir::Etc::SourceList="$APT/sources.list" -o Dir::Etc::SourceParts=/dev/null
      -o Dir::State::Lists="$APT/lists" -o Dir::Cache="$APT/cache"
      -o APT::Get::List-Cleanup=0 -o Debug::NoLocking=1)
for i in 1 2 3 4 5; do
  if apt-get "${OPTS[@]}" update -q >"$APT/update.log" 2>&1; then break; fi
  [ "$i" = 5 ] && { cat "$APT/update.log" >&2; echo "fetch-jsoncpp-src: apt-get update failed" >&2; exit 1; }
  sleep 5
done
rm -rf "$APT/work"/*
(cd "$APT/work" && apt-get "${OPTS[@]}" source -q "libjsoncpp=$VER")
SRC=$(find "$APT/work" -mindepth 1 -maxdepth 1 -type d -name 'libjsoncpp-*' | head -1)
[ -n "$SRC" ] && [ -f "$SRC/CMakeLists.txt" ] || { echo "fetch-jsoncpp-src: unpack failed" >&2; exit 1; }
rm -rf "$DEST"; mkdir -p "$(dirname "$DEST")"
mv "$SRC" "$DEST"
echo "jsoncpp source ($VER, Debian source package): $DEST"
