#!/usr/bin/env bash
# Builds the Debian package of the build, unpacks it into a scratch root and
# uses it from there: both programs and their manual pages, the example host
# program built with find_package(qzws) and with pkg-config, and the Python
# package imported by the interpreter it was built for.
#   check_deb.sh BUILD_DIR EXAMPLES_DIR VERSION PYTHON
set -euo pipefail
build=$1; examples=$2; version=$3; python=$4
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
(cd "$scratch" && cpack -G DEB --config "$build/CPackConfig.cmake" >cpack.log 2>&1) ||
  { cat "$scratch/cpack.log"; exit 1; }
deb=$(ls "$scratch"/qzws_"$version"_*.deb)
dpkg-deb --field "$deb" Package Version Depends
root=$scratch/root
dpkg -x "$deb" "$root"
usr=$root/usr

[ "$("$usr/bin/qzws" --version)" = "qzws $version" ]
[ "$("$usr/bin/qzws-jobserver" --version)" = "qzws-jobserver $version" ]
for page in qzws qzws-jobserver; do
  grep -q '^\.SH EXIT STATUS' "$usr/share/man/man1/$page.1"
done
grep -q '^\.SH FILES' "$usr/share/man/man1/qzws.1"

cmake -S "$examples" -B "$scratch/example" -DCMAKE_PREFIX_PATH="$usr" >/dev/null
cmake --build "$scratch/example" >/dev/null
g++ -std=c++17 "$examples/upload_job.cpp" -o "$scratch/by-pkg-config" \
    $(PKG_CONFIG_PATH="$usr/lib/pkgconfig" pkg-config --cflags --libs qzws)
[ "$(PKG_CONFIG_PATH="$usr/lib/pkgconfig" pkg-config --modversion qzws)" = "$version" ]
for program in "$scratch/example/upload_job" "$scratch/by-pkg-config"; do
  set +e
  "$program" 2>/dev/null
  code=$?
  set -e
  [ "$code" = 2 ]
done

PYTHONPATH="$usr/lib/python3/dist-packages" PYTHONDONTWRITEBYTECODE=1 "$python" -c '
import sys, qzws
assert qzws.__file__.startswith(sys.argv[1]), qzws.__file__
assert qzws.library_info()["QZ++ library"] == "libqz " + sys.argv[2]
assert str(qzws.WS().get_state()) == "unknown"
' "$root" "$version"
echo "package ok: $(basename "$deb")"
