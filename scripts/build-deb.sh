#!/usr/bin/env bash
# Builds the Debian package from this tree and checks it with lintian:
# build/deb/quorlin_VERSION_ARCH.deb (VERSION from pyproject.toml, which
# debian/changelog must match). Needs the Build-Depends of debian/control
# (bash scripts/install-deps.sh); root is not needed. Compiles the whole native
# tree once: several minutes on 2 cores. The full log is build/deb/build.log.
set -euo pipefail
cd "$(dirname "$0")/.."
out=$PWD/build/deb

version=$(sed -n 's/^version = "\([^"]*\)"$/\1/p' pyproject.toml)
changelog_version=$(dpkg-parsechangelog -l debian/changelog -S Version)
if [ -z "$version" ] || [ "$version" != "$changelog_version" ]; then
  echo "build-deb: pyproject.toml says version ${version:-(none)}, debian/changelog says $changelog_version:" \
       "add a changelog entry (dch -v VERSION)" >&2
  exit 1
fi
arch=$(dpkg-architecture -qDEB_HOST_ARCH)

# dpkg-buildpackage writes its results beside the source folder: build a copy
# of the tree's files (tracked and new, never ignored ones such as build/) in
# build/deb, so that they land there and nothing of another build comes along.
rm -rf "$out"
src=$out/quorlin-$version
mkdir -p "$src"
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  git ls-files -z --cached --others --exclude-standard |
    tar -c --null --ignore-failed-read -T - 2>/dev/null | tar -x -C "$src"
else
  tar -c --exclude='./build*' --exclude=./.git . | tar -x -C "$src"
fi

# Debian's own tools only (a cmake or compiler earlier in PATH, from pip or
# elsewhere, is not what the Build-Depends name).
export PATH=/usr/sbin:/usr/bin:/sbin:/bin
export DEB_BUILD_OPTIONS=${DEB_BUILD_OPTIONS:-parallel=$(nproc)}
echo "build-deb: building quorlin $version ($DEB_BUILD_OPTIONS); log: build/deb/build.log"
start=$SECONDS
status=0
# On the terminal: each debhelper step, and the compile's progress every 25 steps.
(cd "$src" && dpkg-buildpackage -us -uc) 2>&1 | tee "$out/build.log" |
  awk '/^   (dh_|debian\/rules )/ { compiling = /^   dh_auto_build/; print; fflush() }
       compiling && match($0, /^\[[0-9]+\/[0-9]+\]/) {
         split(substr($0, 2, RLENGTH - 2), n, "/")
         if (n[1] > 0 && (n[1] % 25 == 0 || n[1] == n[2])) { print "   compiling " n[1] "/" n[2]; fflush() }
       }' || status=${PIPESTATUS[0]}
if ((status != 0)); then
  tail -n 40 "$out/build.log" >&2
  echo "build-deb: dpkg-buildpackage failed ($status); the tree stays in $src, the log in $out/build.log" >&2
  exit "$status"
fi
rm -rf "$src"
echo "build-deb: built in $((SECONDS - start)) s"

# The package and its source (not the debug symbols): errors and warnings
# fail the build, informational tags are shown.
deb=$out/quorlin_${version}_${arch}.deb
lintian --display-info --fail-on error,warning "$deb" "$out/quorlin_${version}.dsc"
echo "build-deb: $deb"
