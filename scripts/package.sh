#!/usr/bin/env bash
# Builds every release file into out/dist/:
#   VeltoClient-<version>-win32.zip           both DLLs, header, import libraries
#                                             for Microsoft's linker and MinGW, .def,
#                                             README-windows.txt, license, bindings
#   lib<name>_<version>_<arch>.deb ...        Debian packages for amd64 and i386
#   VeltoClient-<version>-linux-x86_64.tar.gz the `cmake --install` trees of the
#   VeltoClient-<version>-linux-i386.tar.gz   two Linux builds, with the license
#   SHA256SUMS
#
#   scripts/package.sh [--caster-host NAME]   (default: localhost)
#
# It runs scripts/build-all.sh and packages exactly the files that put into
# out/; nothing is compiled here. The version is the project version in
# CMakeLists.txt. Needs, beyond the compilers: dpkg-dev (dpkg-shlibdeps),
# file, llvm (llvm-dlltool), binutils-mingw-w64-i686 (dlltool) and zip.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=$root/out
dist=$out/dist
stage=$out/package
started=$(date +%s)

caster_args=()
while [ $# -gt 0 ]; do
  case $1 in
    --caster-host) caster_args=(--caster-host "${2:?--caster-host needs a name}"); shift 2 ;;
    --caster-host=*) caster_args=(--caster-host "${1#*=}"); shift ;;
    *) echo "usage: scripts/package.sh [--caster-host NAME]" >&2; exit 2 ;;
  esac
done

fail() { echo "package: $*" >&2; exit 1; }

for need in cpack:cmake dpkg-deb:dpkg dpkg-shlibdeps:dpkg-dev file:file gzip:gzip \
            llvm-dlltool:llvm i686-w64-mingw32-dlltool:binutils-mingw-w64-i686 zip:zip \
            sha256sum:coreutils; do
  command -v "${need%%:*}" >/dev/null || fail "${need%%:*} not found (Debian package ${need#*:})"
done

# A release is all four deliverables or nothing.
VELTO_REQUIRE_ALL_STAGES=1 bash scripts/build-all.sh "${caster_args[@]}" \
  || fail "scripts/build-all.sh did not build all four deliverables"

cache_value() { sed -n "s/^$2:[A-Z]*=//p" "$out/build/$1/CMakeCache.txt"; }
version=$(cache_value linux64 CMAKE_PROJECT_VERSION)
caster_host=$(cache_value linux64 VELTO_CASTER_HOST)
[ -n "$version" ] || fail "no project version in out/build/linux64"
for build in linux32 windows windows-debug; do
  [ "$(cache_value $build VELTO_CASTER_HOST)" = "$caster_host" ] \
    || fail "out/build/$build was built for another caster than $caster_host"
done

# Dates inside the packages follow the last commit, so that the same sources
# give the same files.
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null || date +%s)
export SOURCE_DATE_EPOCH

rm -rf "$dist" "$stage"
mkdir -p "$dist" "$stage"

# --- Debian packages -----------------------------------------------------------
for build in linux64 linux32; do
  echo "--- Debian packages from out/build/$build"
  cpack -G DEB --config "$out/build/$build/CPackConfig.cmake" -B "$stage/deb-$build" >"$stage/cpack-$build.log" 2>&1 \
    || { cat "$stage/cpack-$build.log" >&2; fail "cpack failed for $build"; }
  cp "$stage/deb-$build"/*.deb "$dist/"
done

# Same owner, order and dates for every entry, whoever packs.
pack_tar() { # DIR NAME: DIR/NAME -> dist/NAME.tar.gz
  tar -C "$1" --sort=name --owner=0 --group=0 --numeric-owner --mtime="@$SOURCE_DATE_EPOCH" \
    -cf - "$2" | gzip -9n >"$dist/$2.tar.gz"
}

# --- tarballs ------------------------------------------------------------------
for pair in linux64:x86_64 linux32:i386; do
  name=VeltoClient-$version-linux-${pair#*:}
  echo "--- $name.tar.gz"
  mkdir -p "$stage/$name"
  cp -a "$out/install/${pair%%:*}/." "$stage/$name/"
  cp LICENSE "$stage/$name/"
  pack_tar "$stage" "$name"
done

# --- Windows zip -----------------------------------------------------------------
name=VeltoClient-$version-win32
echo "--- $name.zip"
win=$stage/$name
mkdir -p "$win/include" "$win/bin" "$win/lib"
cp "$out/velto.h" "$win/include/"
cp "$out/VeltoClient.dll" "$out/VeltoClientD.dll" "$win/bin/"
cp src/VeltoClient.def "$win/lib/VeltoClient.def"
for dll in VeltoClient VeltoClientD; do
  # Microsoft's linker wants the short import format that llvm-dlltool
  # writes; GNU dlltool's members are ordinary objects, which it refuses
  # under /safeseh. Both import the seven functions by their plain names.
  llvm-dlltool -m i386 -D "$dll.dll" -d src/VeltoClient.def -l "$win/lib/$dll.lib"
  i686-w64-mingw32-dlltool -D "$dll.dll" -d src/VeltoClient.def -l "$win/lib/lib$dll.dll.a"
done
# Whatever else `cmake --install` puts under share/ (the bindings) comes along.
[ -d "$out/install/windows/share" ] && cp -a "$out/install/windows/share" "$win/"
sed -e "s/@VERSION@/$version/g" -e "s/@CASTER_HOST@/$caster_host/g" \
  packaging/windows/README-windows.txt.in | sed 's/$/\r/' >"$win/README-windows.txt"
sed 's/$/\r/' LICENSE >"$win/LICENSE.txt"
find "$win" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
(cd "$stage" && find "$name" -print | LC_ALL=C sort | TZ=UTC zip -X -q -@ "$dist/$name.zip")

# --- checksums -------------------------------------------------------------------
(cd "$dist" && sha256sum -- *.zip *.deb *.tar.gz >SHA256SUMS)

echo "--- out/dist/ (caster $caster_host, version $version)"
(cd "$dist" && ls -l --time-style=+ | awk 'NR > 1 { printf "%10d  %s\n", $5, $NF }')
echo "package: done in $(( $(date +%s) - started )) s"
