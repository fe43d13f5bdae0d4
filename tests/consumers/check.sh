#!/usr/bin/env bash
# Builds and runs what a user of an installed hdx builds and runs: the README's C example through
# pkg-config, a C++ program through find_package(hdx), and hdx scan on the sample mailbox.
# Usage: check.sh BUILD_DIR   installs the build into a temporary prefix first
#        check.sh --system    hdx as installed on this machine from its Debian packages
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
link=() find=()
if [[ $1 == --system ]]; then
  bin=/usr/bin
else
  cmake --install "$1" --prefix "$work/prefix" >/dev/null
  bin=$work/prefix/bin
  libdir=$(find "$work/prefix" -name 'libhdx.so.1' -printf '%h\n' | head -n 1)
  export PKG_CONFIG_PATH=$libdir/pkgconfig
  link=(-Wl,-rpath,"$libdir")
  find=(-DCMAKE_PREFIX_PATH="$work/prefix" -DCMAKE_BUILD_RPATH="$libdir")
fi

sed -n '/^```c$/,/^```$/{/^```/d;p}' "$top/README.md" >"$work/host.c"
# Plain C with every warning an error: the header must suit a C host, whose buffers pass
# without casts.
cc -Wall -Wextra -Werror -o "$work/host" "$work/host.c" $(pkg-config --cflags --libs hdx-runtime) "${link[@]}"
[[ $("$work/host") == $'from ann@example.org\nvia 192.0.2.25' ]] || { echo "README example"; exit 1; }

cmake -S "$top/tests/consumers/cmake" -B "$work/cmake_consumer" -G Ninja "${find[@]}" >/dev/null
cmake --build "$work/cmake_consumer" >/dev/null
"$work/cmake_consumer/consumer"

(cd "$top" && "$bin/hdx" scan --no-progress examples/sample.mbox 2>/dev/null) | diff -u "$top/tests/cli/sample.tsv" -
echo "consumers of the installed library: ok"
