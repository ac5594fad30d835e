#!/usr/bin/env bash
# package.sh [OUTDIR]: builds the Debian binary packages of debian/control,
# keyd-translator, keyd-bridge, keyd-console and keyd-tools
# (PACKAGE_<version>_<arch or all>.deb), into OUTDIR (default build/deb)
# with debhelper, from a copy of the source tree, so the tree and the
# developer's builds in build/ are left as they are. Needs the packages of
# scripts/setup.sh (debian/control lists the build dependencies).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=${1:-build/deb}
mkdir -p "$out"
out=$(cd "$out" && pwd)

# One version: CMake's project(VERSION). debian/changelog must name the same,
# or the same with ~SUFFIX for a build that sorts before it (the booted
# test's previous release).
version=$(sed -n 's/^project(keyd-translator VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
changelog=$(dpkg-parsechangelog -S Version)
if [ -z "$version" ] || [ "$version" != "${changelog%%~*}" ]; then
  echo "package.sh: CMakeLists.txt says version '$version', debian/changelog '$changelog':" \
    "add a changelog entry (dch -v $version)" >&2
  exit 1
fi

# dpkg-buildpackage builds inside the source tree and writes its results
# beside it: both happen in OUTDIR.
stage="$out/keyd-translator-$changelog"
rm -rf "$stage"
mkdir -p "$stage"
excludes=(--exclude-vcs --exclude=./build --exclude='./build-*' --exclude=./fuzz/work
  --exclude='./obj-*' --exclude='./debian/.debhelper' --exclude=./debian/tmp)
for p in $(sed -n 's/^Package: //p' debian/control); do excludes+=(--exclude="./debian/$p"); done
case "$out/" in "$root"/*) excludes+=(--exclude="./${out#"$root"/}") ;; esac
tar -C "$root" "${excludes[@]}" -cf - . | tar -C "$stage" -xf -

rm -f "$out"/*.deb "$out"/*.changes "$out"/*.buildinfo
start=$SECONDS
(cd "$stage" && dpkg-buildpackage -b -us -uc -j"$(nproc)") >"$out/build.log" 2>&1 || {
  tail -n 40 "$out/build.log" >&2
  echo "package.sh: dpkg-buildpackage failed; the whole log is $out/build.log" >&2
  exit 1
}
rm -rf "$stage"
for deb in "$out"/*.deb; do
  case $deb in *-dbgsym_*) ;; *) echo "package.sh: $deb" ;; esac
done
echo "package.sh: built in $((SECONDS - start)) s; log $out/build.log"
