#!/bin/sh
# Installs the build into a temporary prefix, checks the installed headers and version, builds
# the simulated plug-in and a program on the umbrella header out of tree against it (with
# pkg-config alone, and through the CMake package), and runs them and the installed hub.
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
version=$(pkg-config --modversion lumo)
if ! readelf -d "$lib" | grep -q "Library soname: \[liblumo.so.${version%%.*}\]"; then
  echo "install_test: the soname is not the major version of $version"
  exit 1
fi

# Out-of-tree programs are built the way the library was, so that a sanitized library runs.
san=$(sed -n 's/^LUMO_SANITIZE:STRING=//p' "$build/CMakeCache.txt")
sanflags=${san:+-fsanitize=$san}

# Every installed header stands on its own, as C11 and as C++, and the umbrella header has it.
inc="$tmp/prefix/include"
for h in "$inc"/lumo/*.h; do
  name=$(basename "$h")
  unit=$(printf '#include <lumo/%s>\nint header_check;\n' "$name")
  if ! echo "$unit" | cc -std=c11 -Wall -Wextra -Wpedantic -Werror -fsyntax-only -I"$inc" -x c - ||
    ! echo "$unit" | c++ -std=c++17 -Wall -Wextra -Werror -fsyntax-only -I"$inc" -x c++ -; then
    echo "install_test: lumo/$name does not compile on its own"
    exit 1
  fi
  if [ "$name" != lumo.h ] && ! grep -q "^#include <lumo/$name>" "$inc/lumo/lumo.h"; then
    echo "install_test: lumo/lumo.h does not include lumo/$name"
    exit 1
  fi
done

mkdir -p "$tmp/pkgconfig-plugin"
# shellcheck disable=SC2046
cc -std=c11 -shared -fPIC -o "$tmp/pkgconfig-plugin/qiv.so" "$src/plugins/virtual/virtual.c" \
  $(pkg-config --cflags --libs lumo)

# shellcheck disable=SC2046,SC2086
cc -std=c11 $sanflags -o "$tmp/umbrella" "$src/tests/hub/sdk/umbrella.c" \
  $(pkg-config --cflags --libs lumo)

cmake -S "$src/tests/hub/sdk" -B "$tmp/cmake-plugin" -DCMAKE_PREFIX_PATH="$tmp/prefix" \
  -DCMAKE_C_FLAGS="$sanflags" -DPLUGIN_SOURCE="$src/plugins/virtual/virtual.c" >/dev/null
cmake --build "$tmp/cmake-plugin" >/dev/null
test -f "$tmp/cmake-plugin/qiv.so"

# The version the header states is the package's: the CMake build refuses another at compile
# time; both programs print it.
for program in "$tmp/umbrella" "$tmp/cmake-plugin/umbrella"; do
  stated=$("$program")
  if [ "$stated" != "$version" ]; then
    echo "install_test: $program states version [$stated], the package is $version"
    exit 1
  fi
done

# The installed hub names the package's version, and its manual page is where man looks.
if [ "$("$tmp/prefix/bin/qivhub" -version)" != "QIVhub $version revision 6534" ] ||
  ! test -f "$tmp/prefix/share/man/man8/qivhub.8"; then
  echo "install_test: the installed hub does not state version $version or has no manual page"
  exit 1
fi

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
echo "install_test: installed $version, headers whole, built out of tree (pkg-config and CMake package), ran"
