#!/usr/bin/env bash
# Installs a build into a temporary prefix and builds and runs two consumers against it: a C
# program through pkg-config and a C++ program through find_package(hdx).
# Usage: check.sh BUILD_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null
libdir=$(find "$work/prefix" -name 'libhdx.so.1' -printf '%h\n' | head -n 1)
for f in libhdx.so libhdx.so.1 include/hdx.h include/hdx.hpp bin/hdx; do
  [[ -e $libdir/$f || -e $work/prefix/$f ]] || { echo "not installed: $f"; exit 1; }
done

export PKG_CONFIG_PATH=$libdir/pkgconfig
cc -o "$work/pc_consumer" "$here/consumer.c" $(pkg-config --cflags --libs hdx-runtime) \
   -Wl,-rpath,"$libdir"
"$work/pc_consumer"

cmake -S "$here/cmake" -B "$work/cmake_consumer" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" \
      -DCMAKE_BUILD_RPATH="$libdir" >/dev/null
cmake --build "$work/cmake_consumer" >/dev/null
"$work/cmake_consumer/consumer"

"$work/prefix/bin/hdx" --version
echo "install and consumers: ok"
