#!/usr/bin/env bash
# Installs libflumina from a build tree into a temporary prefix, then builds
# and runs the consumer against it with find_package(flumina) and with pkg-config.
#   check.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d /tmp/flumina-consumer.XXXXXX)
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/prefix" --component library >/dev/null
test -f "$work/prefix/include/flumina/flumina.h"
find "$work/prefix" -path '*/cmake/flumina/fluminaConfig.cmake' | grep -q .

libdir=$(dirname "$(find "$work/prefix" -name 'libflumina.so*' | head -1)")

cmake -S "$here" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$work/prefix" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$work/cmake" >/dev/null
LD_LIBRARY_PATH="$libdir" "$work/cmake/consumer" | grep -q "libflumina linked: yes"
echo "find_package(flumina): built and ran"

pc_dir=$(dirname "$(find "$work/prefix" -name flumina.pc | head -1)")
flags=$(PKG_CONFIG_PATH="$pc_dir" pkg-config --cflags --libs flumina)
# shellcheck disable=SC2086
g++ -std=c++17 "$here/main.cpp" -o "$work/consumer-pc" $flags
LD_LIBRARY_PATH="$libdir" "$work/consumer-pc" | grep -q "libflumina linked: yes"
echo "pkg-config flumina: built and ran"
