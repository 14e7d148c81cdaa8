#!/usr/bin/env bash
# Installs the build into a temporary prefix, builds the consumer program of tests/install
# outside the tree against it (C and C++, through the CMake package and through pkg-config), and
# runs a save of a sample station with it against the installed simulated station.
# Usage: scripts/install_check.sh BUILD_DIR
set -euo pipefail

BUILD=${1:-build}
SRC=$(cd "$(dirname "$0")/.." && pwd)
TMP=$(mktemp -d)
PREFIX="$TMP/prefix"

. "$SRC/scripts/fcssim.sh"
trap 'fcssim_stop; rm -rf "$TMP"' EXIT

cmake --install "$BUILD" --prefix "$PREFIX" >/dev/null
for f in bin/tusave bin/fcssim include/tusave/libqveldtusave.h lib/cmake/tusave/tusaveConfig.cmake \
         lib/pkgconfig/tusave.pc; do
  [ -e "$PREFIX/$f" ] || { echo "install-check: $f not installed" >&2; exit 1; }
done
# The program links no library of the project: a run path would only send the loader through
# folders of the prefix before the system's.
if objdump -p "$PREFIX/bin/tusave" | grep -Eq '^ *(RUNPATH|RPATH) '; then
  echo "install-check: bin/tusave carries a run path" >&2
  exit 1
fi
soname=$(objdump -p "$PREFIX"/lib/libqveldtusave.so | sed -n 's/^ *SONAME *//p')
[ "$soname" = "libqveldtusave.so.0" ] || { echo "install-check: SONAME is '$soname'" >&2; exit 1; }

# Every installed header compiles on its own, as C and as C++.
for h in "$PREFIX"/include/tusave/*.h; do
  echo "#include <tusave/$(basename "$h")>" >"$TMP/h.c"
  gcc -std=c11 -Wall -Wextra -Werror -fsyntax-only -I"$PREFIX/include" "$TMP/h.c" ||
    { echo "install-check: $h does not compile as C" >&2; exit 1; }
  g++ -std=c++20 -Wall -Wextra -Werror -fsyntax-only -I"$PREFIX/include" -x c++ "$TMP/h.c" ||
    { echo "install-check: $h does not compile as C++" >&2; exit 1; }
done

cmake -S "$SRC/tests/install" -B "$TMP/consumer-cmake" -G Ninja -DCMAKE_PREFIX_PATH="$PREFIX" >/dev/null
cmake --build "$TMP/consumer-cmake" >/dev/null
PKG_CONFIG_PATH="$PREFIX/lib/pkgconfig" g++ -std=c++20 -o "$TMP/consumer-pc" "$SRC/tests/install/consumer.cpp" \
  $(PKG_CONFIG_PATH="$PREFIX/lib/pkgconfig" pkg-config --cflags --libs tusave) -Wl,-rpath,"$PREFIX/lib"
PKG_CONFIG_PATH="$PREFIX/lib/pkgconfig" gcc -std=c11 -o "$TMP/consumer-pc-c" "$SRC/tests/install/consumer.c" \
  $(PKG_CONFIG_PATH="$PREFIX/lib/pkgconfig" pkg-config --cflags --libs tusave) -Wl,-rpath,"$PREFIX/lib"

"$PREFIX/bin/tusave" sample "$TMP/ws" >/dev/null
fcssim_start "$PREFIX/bin/fcssim" "$TMP/ws"
for consumer in "$TMP/consumer-cmake/consumer" "$TMP/consumer-cmake/consumer_c" "$TMP/consumer-pc" \
                "$TMP/consumer-pc-c"; do
  TUSAVE_HOME="$TMP/ws" "$consumer" DEMO FCS0101 >"$TMP/out.txt" || {
    cat "$TMP/out.txt" >&2
    echo "install-check: $consumer failed" >&2
    exit 1
  }
done
echo "install-check: installed library, CMake package and pkg-config file work from C and C++ ($(tail -n 1 "$TMP/out.txt"))"
