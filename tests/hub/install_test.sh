#!/bin/sh
# Installs the build into a temporary prefix, builds the simulated plug-in out of tree against
# it (with pkg-config alone, and through the CMake package), and runs the installed hub with it.
# Arguments: the build directory and the source directory.
set -eu
build=$1
src=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT INT TERM

cmake --install "$build" --prefix "$tmp/prefix" >/dev/null

# The installed library offers no way to make allocations fail: the tests' switch is absent.
lib=$(find "$tmp/prefix" -name 'liblumo.so.*.*')
test -n "$lib"
if nm -D --defined-only "$lib" | grep -q 'lumo_mem_failAfter'; then
  echo "install_test: the installed library exports the allocation-failure switch"
  exit 1
fi
pc=$(find "$tmp/prefix" -name lumo.pc)
test -n "$pc"
export PKG_CONFIG_PATH="$(dirname "$pc")"

mkdir -p "$tmp/pkgconfig-plugin"
# shellcheck disable=SC2046
cc -std=c11 -shared -fPIC -o "$tmp/pkgconfig-plugin/qiv.so" "$src/plugins/virtual/virtual.c" \
  $(pkg-config --cflags --libs lumo)

cmake -S "$src/tests/hub/sdk" -B "$tmp/cmake-plugin" -DCMAKE_PREFIX_PATH="$tmp/prefix" \
  -DPLUGIN_SOURCE="$src/plugins/virtual/virtual.c" >/dev/null
cmake --build "$tmp/cmake-plugin" >/dev/null
test -f "$tmp/cmake-plugin/qiv.so"

# The installed hub with the out-of-tree plug-in: the plug-in traces its configuration.
mkdir -p "$tmp/run"
cd "$tmp/run"
"$tmp/prefix/bin/qivhub" -l "$tmp/pkgconfig-plugin" >hub.out 2>&1 &
hub=$!
i=0
until grep -q "virtual device: iid=\[qivlib\]" qivhub.000.trc 2>/dev/null; do
  i=$((i + 1))
  if [ "$i" -gt 200 ]; then
    kill "$hub"
    cat hub.out
    echo "install_test: the installed hub did not start the plug-in"
    exit 1
  fi
  sleep 0.1
done
kill -TERM "$hub"
wait "$hub"
echo "install_test: installed, built out of tree (pkg-config and CMake package), ran"
