#!/usr/bin/env bash
# Builds the Debian packages from a copy of the sources with
# dpkg-buildpackage, checks them with lintian, and installs them with dpkg
# into a throwaway copy of this system (an overlay over / in a mount
# namespace of its own, entered with chroot): both programs, the Python
# package with the system's python3, the example host program built with
# find_package(qzws) and with pkg-config; then purges them and checks that
# nothing of theirs is left. Needs root for the mount namespace; skipped
# (exit 77) without it.
#   check_deb.sh SOURCE_DIR VERSION
set -euo pipefail
source=$1; version=$2
if [ "$(id -u)" -ne 0 ]; then
  echo "skipped: installing into an overlay of / needs root"
  exit 77
fi
changelog=$(dpkg-parsechangelog -l "$source/debian/changelog" -S Version)
if [ "$changelog" != "$version" ]; then
  echo "debian/changelog names version $changelog, project() $version"; exit 1
fi
scratch=$(mktemp -d)
trap 'umount -R "$scratch/root" 2>/dev/null || true; rm -rf "$scratch"' EXIT

mkdir "$scratch/src"
tar -C "$source" --exclude=./build --exclude='./build-*' --exclude='./obj-*' --exclude=./.git \
    --exclude='*.egg-info' -cf - . | tar -C "$scratch/src" -xf -
(cd "$scratch/src" && DEB_BUILD_OPTIONS="nocheck parallel=2" dpkg-buildpackage -us -uc -b >"$scratch/build.log" 2>&1) ||
  { tail -n 60 "$scratch/build.log"; exit 1; }
debs=("$scratch"/qzws_"$version"_*.deb "$scratch"/python3-qzws_"$version"_*.deb "$scratch"/libqzws-dev_"$version"_*.deb)
for deb in "${debs[@]}"; do dpkg-deb --field "$deb" Package Version Depends Recommends; echo; done

# No error and no warning; informational, pedantic and experimental tags are shown.
lintian -I -E --pedantic --fail-on error,warning \
        "$scratch"/qzws_"$version"_*.changes

# The programs' package runs on the libraries alone.
if dpkg-deb --field "${debs[0]}" Depends | grep -q -- '-dev'; then
  echo "qzws depends on a development package"; exit 1
fi

# The check inside the copy of this system.
cat >"$scratch/inside.sh" <<INSIDE
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive PATH=/usr/sbin:/usr/bin:/sbin:/bin
dpkg -i ${debs[*]} >/dev/null
[ "\$(qzws --version)" = "qzws $version" ]
[ "\$(qzws-jobserver --version)" = "qzws-jobserver $version" ]
for page in qzws qzws-jobserver; do zgrep -q '^\.SH EXIT STATUS' /usr/share/man/man1/\$page.1.gz; done
cd /usr/share && /usr/bin/python3 -c '
import importlib.metadata, qzws
assert qzws.__file__.startswith("/usr/lib/python3/dist-packages/qzws/"), qzws.__file__
assert qzws.__version__ == "$version"
assert str(qzws.WS().get_state()) == "unknown"
'
work=\$(mktemp -d)
cmake -S $scratch/src/examples -B \$work/example >/dev/null
cmake --build \$work/example >/dev/null
g++ -std=c++17 $scratch/src/examples/upload_job.cpp -o \$work/by-pkg-config \$(pkg-config --cflags --libs qzws)
[ "\$(pkg-config --modversion qzws)" = "$version" ]
for program in \$work/example/upload_job \$work/by-pkg-config; do
  set +e; \$program 2>/dev/null; code=\$?; set -e
  [ \$code = 2 ]
done
rm -rf \$work
dpkg --purge libqzws-dev python3-qzws qzws >/dev/null
INSIDE

root=$scratch/root
mkdir -p "$root" "$scratch/upper" "$scratch/work"
unshare --mount bash -c "
  set -e
  mount -t overlay overlay -o lowerdir=/,upperdir=$scratch/upper,workdir=$scratch/work $root
  for fs in /dev /proc /sys; do mount --rbind \$fs $root\$fs; done
  mount -t tmpfs tmpfs $root/tmp
  # The scratch folder lies below /tmp: shown again inside, read-only.
  mkdir -p $root$scratch && mount --bind -o ro $scratch $root$scratch
  chroot $root bash $scratch/inside.sh
"
# What stays in the copy's upper layer: dpkg's own records, and folders
# that existed before; no file or folder of the packages, no __pycache__.
left=$(cd "$scratch/upper" && find . \( -path ./var/lib/dpkg -o -path ./var/log -o -path ./var/cache \
        -o -path ./tmp -o -path ./root \) -prune -o -print | while read -r entry; do
         [ -d "$entry" ] && [ -d "/$entry" ] || echo "$entry"
       done)
if [ -n "$left" ]; then
  echo "left behind after purge:"; echo "$left"
  exit 1
fi
echo "packages ok: $(cd "$scratch" && ls ./*.deb | tr '\n' ' ')"
