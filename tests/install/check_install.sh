#!/usr/bin/env bash
# Installs the build into a temporary prefix and builds a host program from
# the installed headers and libraries alone, then runs it.
#   check_install.sh BUILD_DIR SOURCE_FILE [EXTRA_COMPILER_FLAGS...]
set -euo pipefail
build=$1; source=$2; shift 2
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
g++ -std=c++17 "$@" -I"$prefix/include" -I/usr/include/libxml2 "$source" -o "$prefix/host" \
    -L"$prefix/lib" -lqzws -lqz -lcurlpp -lcurl -lxml2 -lssl -lcrypto
cd "$prefix" && ./host
