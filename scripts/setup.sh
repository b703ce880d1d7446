#!/usr/bin/env bash
# Installs everything the build and the tests need on a fresh Debian bookworm machine.
# Idempotent: each step checks first, so a second run takes a second or two.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${BUILD_DIR:-$ROOT/build}"
SUDO=""; [ "$(id -u)" = 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive

PKGS=(g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix mingw-w64-tools wine wine32:i386 wine64 libwine-dev xvfb xauth socat
      nasm dpkg-dev libjpeg62-turbo-dev ninja-build cmake g++ clang libclang-rt-14-dev googletest
      python3 imagemagick netpbm libtiff-tools giflib-tools libjpeg-turbo-progs libvips-tools locales x11-apps
      wixl msitools qemu-user)

need_apt=0
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386; need_apt=1
fi
SRCLIST=/etc/apt/sources.list.d/trel-deb-src.sources
if [ ! -f "$SRCLIST" ]; then
  $SUDO tee "$SRCLIST" >/dev/null <<'SRC'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
  need_apt=1
fi
missing=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ] || [ $need_apt = 1 ]; then
  $SUDO apt-get update -qq
fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# Russian locale in a private folder so Wine can open Cyrillic file names.
LOCPATH_DIR="$BUILD/locale"
if [ ! -d "$LOCPATH_DIR/ru_RU.UTF-8" ]; then
  mkdir -p "$LOCPATH_DIR"
  localedef -i ru_RU -f UTF-8 "$LOCPATH_DIR/ru_RU.UTF-8" 2>/dev/null || true
fi

# libjpeg-turbo 2.1.5 cross-built static from Debian's source package: i686 for the shipped
# DLL, x86_64 for the Wine test build on machines that cannot run 32-bit code.
SRC="$BUILD/deps/src"
for arch in i686 x86_64; do
  JPEG_PREFIX="$BUILD/deps/libjpeg-turbo-$arch"
  [ -f "$JPEG_PREFIX/lib/libjpeg.a" ] && continue
  mkdir -p "$SRC"
  if ! ls "$SRC"/libjpeg-turbo_2.1.5.orig.tar.gz >/dev/null 2>&1; then
    (cd "$SRC" && apt-get source --download-only libjpeg-turbo >/dev/null 2>&1)
  fi
  rm -rf "$SRC/libjpeg-turbo-2.1.5" "$BUILD/deps/jpeg-build-$arch"
  tar -xzf "$SRC"/libjpeg-turbo_2.1.5.orig.tar.gz -C "$SRC"
  cmake -Wno-dev -S "$SRC/libjpeg-turbo-2.1.5" -B "$BUILD/deps/jpeg-build-$arch" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-$arch.cmake" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$JPEG_PREFIX" -DENABLE_SHARED=OFF -DENABLE_STATIC=ON \
    -DWITH_TURBOJPEG=OFF -DREQUIRE_SIMD=ON >/dev/null
  cmake --build "$BUILD/deps/jpeg-build-$arch" >/dev/null
  cmake --install "$BUILD/deps/jpeg-build-$arch" >/dev/null
done

# Wine prefix inside the build tree, Russian locale, no crash dialog.
"$ROOT/scripts/wineprefix.sh"
echo "setup: ok"
