#!/bin/bash
# Cross-builds mapdesk for 64-bit Windows on Debian 12 and packages it:
#   dist/mapdesk-win64/     mapdesk.exe with every DLL and Qt plugin it loads
#   dist/mapdesk-win64.zip  the same folder, zipped
# The dependencies (Qt 5 qtbase/qtserialport/qtserialbus, mbedTLS, libssh) are
# built from Debian's source packages once and cached under WIN64_DEPS
# (default .deps/win64); each stage is skipped when its stamp exists, so a
# second run only rebuilds the tool.
#
# Usage: scripts/build-windows.sh [--deps-only]
# Environment:
#   WIN64_DEPS        cache directory (default $ROOT/.deps/win64)
#   QT_THIRD_PARTY    folder with the qtserialport/qtserialbus tarballs
#                     (default ../shared/third_party next to the repository)
#   JOBS              parallel jobs (default: number of cores, at most 2)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
DEPS=${WIN64_DEPS:-$ROOT/.deps/win64}
THIRD=${QT_THIRD_PARTY:-$ROOT/../shared/third_party}
JOBS=${JOBS:-$(n=$(nproc 2>/dev/null || echo 2); [ "$n" -gt 2 ] && echo 2 || echo "$n")}
DEPS_ONLY=0
[ "${1:-}" = "--deps-only" ] && DEPS_ONLY=1

QT_VER=5.15.8
QTBASE_DEB=5.15.8+dfsg-11+deb12u3
MBEDTLS_DEB=2.28.3-1
# The newer security update's tarball is not served by the mirror; the source is
# the same upstream 0.10.6.
LIBSSH_DEB=0.10.6-0+deb12u2
declare -A SHA256=(
  [qtserialport-everywhere-src-$QT_VER.tar.xz]=6958041d9f09ec1a03aeb6f1d589025af217883bf5b4f42e2fc8e6eaceb12648
  [qtserialbus-everywhere-src-$QT_VER.tar.xz]=73bce7c861b73ea8f32789c78133a3a7919425a8cb159f616de24a804585b637
)

CROSS=x86_64-w64-mingw32
QT=$DEPS/qt5          # Qt prefix (host tools + target libraries)
PREFIX=$DEPS/prefix   # mbedTLS, libssh
SRC=$DEPS/src
BLD=$DEPS/build
STAMP=$DEPS/stamps
mkdir -p "$SRC" "$BLD" "$STAMP" "$PREFIX"
T0=$(date +%s)
log() { printf '[build-windows %4ds] %s\n' "$(( $(date +%s) - T0 ))" "$*"; }
die() { echo "build-windows: $*" >&2; exit 1; }
done_() { [ -f "$STAMP/$1" ]; }
mark() { date -u +%FT%TZ >"$STAMP/$1"; }

# --- 1. Debian packages (idempotent) ---------------------------------------
PKGS=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix mingw-w64-tools binutils-mingw-w64-x86-64
      libz-mingw-w64-dev dpkg-dev cmake make perl python3 xz-utils zip unzip patch
      qttranslations5-l10n)
missing=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  log "installing ${missing[*]}"
  [ "$(id -u)" = 0 ] || die "needs root to install: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  if ! apt-get install -y -q --no-install-recommends -o DPkg::Lock::Timeout=600 "${missing[@]}"; then
    # Stale package lists: update (retrying while another apt holds the lock), then again.
    for i in 1 2 3 4 5 6; do apt-get update -q && break; sleep 10; done
    apt-get install -y -q --no-install-recommends -o DPkg::Lock::Timeout=600 "${missing[@]}"
  fi
fi
command -v $CROSS-g++-posix >/dev/null || die "$CROSS-g++-posix missing after install"

# --- 2. Debian source packages through a private source list ---------------
APT=$DEPS/apt
# shellcheck source=lib/debsrc.sh
. "$ROOT/scripts/lib/debsrc.sh"
fetch_sources() {
  debsrc_prepare "$APT" || die "no private deb-src list"
  AOPTS=("${DEBSRC_OPTS[@]}")
}
# unpack PKG=VER DIRNAME: dpkg-source applies Debian's patch series on unpack.
unpack_deb_src() {
  local pkgver=$1 dir=$2
  [ -d "$SRC/$dir" ] && return 0
  [ -n "${AOPTS+x}" ] || fetch_sources
  local w=$SRC/.dl-$dir
  rm -rf "$w"; mkdir -p "$w"
  (cd "$w" && apt-get "${AOPTS[@]}" source -q --download-only "$pkgver") || die "could not download source $pkgver"
  local dsc; dsc=$(ls "$w"/*.dsc | head -1)
  (cd "$w" && dpkg-source --no-check -x "$dsc" "$SRC/$dir") >"$w/unpack.log" 2>&1 \
    || { cat "$w/unpack.log" >&2; rm -rf "$SRC/$dir"; die "could not unpack $pkgver"; }
  rm -rf "$w"
}
# The serial modules come from a local folder (the mirror does not serve them).
unpack_third() {
  local name=$1 dir=$2 f=$THIRD/$1
  [ -d "$SRC/$dir" ] && return 0
  [ -f "$f" ] || die "missing $f
  (Qt ${name%%-everywhere*} $QT_VER source; set QT_THIRD_PARTY to the folder holding
   $name with sha256 ${SHA256[$name]},
   made with: git archive --prefix=${name%.tar.xz}/ v$QT_VER-lts-lgpl in the Qt Project's ${name%%-everywhere*} repository)"
  echo "${SHA256[$name]}  $f" | sha256sum -c --quiet - || die "$f: sha256 mismatch (want ${SHA256[$name]})"
  tar -C "$SRC" -xf "$f"
}

# --- 3. mbedTLS (static, with pthread locking: libssh's ssh_init needs it) --
if ! done_ mbedtls; then
  unpack_deb_src "mbedtls=$MBEDTLS_DEB" mbedtls
  log "mbedTLS"
  (cd "$SRC/mbedtls" && python3 scripts/config.py set MBEDTLS_THREADING_C && python3 scripts/config.py set MBEDTLS_THREADING_PTHREAD)
  rm -rf "$BLD/mbedtls"
  nice -n 19 cmake -S "$SRC/mbedtls" -B "$BLD/mbedtls" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchains/mingw64.cmake" \
    -DWIN64_DEPS="$DEPS" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$PREFIX" \
    -DENABLE_TESTING=OFF -DENABLE_PROGRAMS=OFF -DUSE_STATIC_MBEDTLS_LIBRARY=ON -DUSE_SHARED_MBEDTLS_LIBRARY=OFF \
    -DMBEDTLS_FATAL_WARNINGS=OFF >"$BLD/mbedtls.log" 2>&1 || { tail -40 "$BLD/mbedtls.log"; die "mbedTLS configure failed"; }
  nice -n 19 cmake --build "$BLD/mbedtls" -j"$JOBS" >>"$BLD/mbedtls.log" 2>&1 || { tail -40 "$BLD/mbedtls.log"; die "mbedTLS build failed"; }
  cmake --install "$BLD/mbedtls" >>"$BLD/mbedtls.log" 2>&1
  mark mbedtls
fi

# --- 4. libssh (shared, mbedTLS back end, zlib from libz-mingw-w64-dev) ----
if ! done_ libssh; then
  unpack_deb_src "libssh=$LIBSSH_DEB" libssh
  log "libssh"
  rm -rf "$BLD/libssh"
  nice -n 19 cmake -S "$SRC/libssh" -B "$BLD/libssh" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchains/mingw64.cmake" \
    -DWIN64_DEPS="$DEPS" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$PREFIX" \
    -DWITH_MBEDTLS=ON -DMBEDTLS_ROOT_DIR="$PREFIX" -DWITH_GSSAPI=OFF -DWITH_EXAMPLES=OFF -DUNIT_TESTING=OFF \
    -DWITH_SERVER=OFF -DWITH_ZLIB=ON -DBUILD_SHARED_LIBS=ON >"$BLD/libssh.log" 2>&1 \
    || { tail -40 "$BLD/libssh.log"; die "libssh configure failed"; }
  nice -n 19 cmake --build "$BLD/libssh" -j"$JOBS" >>"$BLD/libssh.log" 2>&1 || { tail -40 "$BLD/libssh.log"; die "libssh build failed"; }
  cmake --install "$BLD/libssh" >>"$BLD/libssh.log" 2>&1
  mark libssh
fi

# --- 5. qtbase (Debian's source with Debian's patches) --------------------
if ! done_ qtbase; then
  unpack_deb_src "qtbase-opensource-src=$QTBASE_DEB" qtbase
  log "qtbase configure"
  rm -rf "$BLD/qtbase"; mkdir -p "$BLD/qtbase"
  # Debian's tarball drops src/3rdparty/wintab: no tablet events. No OpenGL or
  # Direct2D: the Windows platform plugin paints with GDI (also under wine).
  (cd "$BLD/qtbase" && nice -n 19 "$SRC/qtbase/configure" -xplatform win32-g++ -device-option CROSS_COMPILE=$CROSS- \
    -prefix "$QT" -opensource -confirm-license -release -shared -nomake examples -nomake tests \
    -no-opengl -no-direct2d -no-dbus -no-openssl -no-icu -no-feature-tabletevent -no-feature-sql -no-feature-xml \
    -qt-zlib -qt-libpng -qt-libjpeg -qt-freetype -qt-harfbuzz -qt-pcre) >"$BLD/qtbase.log" 2>&1 \
    || { tail -60 "$BLD/qtbase.log"; die "qtbase configure failed (log: $BLD/qtbase.log)"; }
  log "qtbase build (about 30 minutes on 2 cores)"
  nice -n 19 make -C "$BLD/qtbase" -j"$JOBS" >>"$BLD/qtbase.log" 2>&1 || { tail -60 "$BLD/qtbase.log"; die "qtbase build failed (log: $BLD/qtbase.log)"; }
  make -C "$BLD/qtbase" install >>"$BLD/qtbase.log" 2>&1 || { tail -40 "$BLD/qtbase.log"; die "qtbase install failed"; }
  mark qtbase
fi

# --- 6. qtserialport, qtserialbus -----------------------------------------
for m in qtserialport qtserialbus; do
  done_ $m && continue
  unpack_third "$m-everywhere-src-$QT_VER.tar.xz" "$m-everywhere-src-$QT_VER"
  log "$m"
  # The archives are git exports without the generated module headers: a
  # .git marker makes qmake run syncqt as it does in a checkout.
  mkdir -p "$SRC/$m-everywhere-src-$QT_VER/.git"
  rm -rf "$BLD/$m"; mkdir -p "$BLD/$m"
  (cd "$BLD/$m" && nice -n 19 "$QT/bin/qmake" "$SRC/$m-everywhere-src-$QT_VER" && nice -n 19 make -j"$JOBS" && make install) \
    >"$BLD/$m.log" 2>&1 || { tail -40 "$BLD/$m.log"; die "$m build failed (log: $BLD/$m.log)"; }
  mark $m
done
log "dependencies ready in $DEPS"
[ "$DEPS_ONLY" = 1 ] && exit 0

# --- 7. the tool ----------------------------------------------------------
B=${WIN64_BUILD:-$ROOT/build-win64}
log "mapdesk"
cmake -S "$ROOT" -B "$B" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchains/mingw64.cmake" -DWIN64_DEPS="$DEPS" \
  -DCMAKE_BUILD_TYPE=Release -DBUILD_BUSRELAY=OFF -DBUILD_TESTING=OFF >"$B.configure.log" 2>&1 \
  || { cat "$B.configure.log"; die "configure failed"; }
grep -q "mapdesk is skipped" "$B.configure.log" && { cat "$B.configure.log"; die "Qt for Windows not found under $QT"; }
nice -n 10 cmake --build "$B" -j"$JOBS" --target mapdesk

# --- 8. dist/mapdesk-win64 with every DLL it loads ------------------------
DIST=$ROOT/dist/mapdesk-win64
GCCLIB=$(dirname "$($CROSS-gcc-posix -print-libgcc-file-name)")
SEARCH=("$QT/bin" "$PREFIX/bin" "$GCCLIB" /usr/$CROSS/bin /usr/$CROSS/lib)
# DLLs every Windows (7 and later) has; anything else must travel in the zip.
SYSTEM_DLLS=" advapi32.dll bcrypt.dll comctl32.dll comdlg32.dll crypt32.dll d3d9.dll d3d11.dll dnsapi.dll
 dwmapi.dll dwrite.dll dxgi.dll gdi32.dll imm32.dll iphlpapi.dll kernel32.dll mpr.dll msimg32.dll
 msvcrt.dll netapi32.dll ntdll.dll ole32.dll oleaut32.dll rpcrt4.dll secur32.dll setupapi.dll
 shell32.dll shlwapi.dll user32.dll userenv.dll uxtheme.dll version.dll winmm.dll winspool.drv
 ws2_32.dll wtsapi32.dll "
SYSTEM_DLLS=" $(echo $SYSTEM_DLLS) "   # one space between names, also at line ends
is_system() { local l; l=$(echo "$1" | tr 'A-Z' 'a-z'); [[ "$SYSTEM_DLLS" == *" $l "* || "$l" == api-ms-win-* ]]; }
imports() { $CROSS-objdump -p "$1" | sed -n 's/^[[:space:]]*DLL Name: //p'; }
find_dll() {
  local d
  for d in "${SEARCH[@]}"; do [ -f "$d/$1" ] && { echo "$d/$1"; return 0; }; done
  return 1
}
log "packaging $DIST"
rm -rf "$DIST" "$DIST.zip"
mkdir -p "$DIST"/{platforms,styles,imageformats,canbus,translations}
cp "$B/bin/mapdesk.exe" "$DIST/"
cp "$QT/plugins/platforms/qwindows.dll" "$DIST/platforms/"
cp "$QT/plugins/styles/qwindowsvistastyle.dll" "$DIST/styles/"
for f in qgif qico qjpeg; do cp "$QT/plugins/imageformats/$f.dll" "$DIST/imageformats/"; done
cp "$QT"/plugins/canbus/*.dll "$DIST/canbus/"
# Qt's own Chinese texts (the .qm files are the same on every platform; the
# tool loads them from "translations" beside mapdesk.exe).
for f in qt_zh_CN qtbase_zh_CN; do cp "/usr/share/qt5/translations/$f.qm" "$DIST/translations/"; done
# Close over the imports: every non-system DLL goes beside mapdesk.exe.
queue=$(find "$DIST" -iname '*.exe' -o -iname '*.dll')
while [ -n "$queue" ]; do
  next=""
  for pe in $queue; do
    for dll in $(imports "$pe"); do
      is_system "$dll" && continue
      [ -f "$DIST/$dll" ] && continue
      src=$(find_dll "$dll") || die "$(basename "$pe") needs $dll, found in none of: ${SEARCH[*]}"
      cp "$src" "$DIST/$dll"
      next="$next $DIST/$dll"
    done
  done
  queue=$next
done
# libstdc++-6.dll is 24 MB with its symbols; none of it is needed at run time.
find "$DIST" \( -iname '*.dll' -o -iname '*.exe' \) -exec $CROSS-strip --strip-unneeded {} +
(cd "$ROOT/dist" && zip -qr -9 mapdesk-win64.zip mapdesk-win64)

# --- 9. check the zip itself: every import of every PE file is in it or is Windows' own
CHK=$(mktemp -d)
trap 'rm -rf "$CHK"' EXIT
unzip -q "$ROOT/dist/mapdesk-win64.zip" -d "$CHK"
# Windows' loader looks for a plugin's DLLs beside mapdesk.exe, not beside the plugin.
have=" $(find "$CHK/mapdesk-win64" -maxdepth 1 -type f -iname '*.dll' -printf '%f\n' | tr 'A-Z' 'a-z' | tr '\n' ' ') "
bad=0; npe=0
while IFS= read -r pe; do
  npe=$((npe + 1))
  for dll in $(imports "$pe"); do
    l=$(echo "$dll" | tr 'A-Z' 'a-z')
    if [[ "$have" != *" $l "* ]] && ! is_system "$dll"; then
      echo "import check: ${pe#"$CHK"/} needs $dll, which is neither beside mapdesk.exe nor a Windows DLL" >&2
      bad=1
    fi
  done
done < <(find "$CHK" -type f \( -iname '*.dll' -o -iname '*.exe' \))
[ "$bad" = 0 ] || die "the zip is incomplete"
log "import check: $npe PE files, every import is in the zip or a Windows system DLL"
log "done: $DIST ($(du -sh "$DIST" | cut -f1)), $ROOT/dist/mapdesk-win64.zip ($(du -h "$ROOT/dist/mapdesk-win64.zip" | cut -f1))"
