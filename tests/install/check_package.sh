#!/usr/bin/env bash
# Installs the build into a temporary prefix, builds the example host
# program with find_package(qzws) and with pkg-config, and runs it once.
#   check_package.sh BUILD_DIR EXAMPLES_DIR [EXTRA_COMPILER_FLAGS]
set -euo pipefail
build=$1; examples=$2; flags=${3:-}
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
cmake -S "$examples" -B "$prefix/example" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_CXX_FLAGS="$flags" \
      -DCMAKE_EXE_LINKER_FLAGS="$flags" >/dev/null
cmake --build "$prefix/example" >/dev/null
# Without arguments it explains itself and exits with 2.
set +e
"$prefix/example/upload_job" 2>"$prefix/usage.txt"
code=$?
set -e
[ "$code" = 2 ] && grep -q '^usage: ' "$prefix/usage.txt"
g++ -std=c++17 $flags "$examples/upload_job.cpp" -o "$prefix/by-pkg-config" \
    $(PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config --cflags --libs qzws)
echo "package ok: find_package and pkg-config builds of the example"
