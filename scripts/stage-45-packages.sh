#!/usr/bin/env bash
# The release files of scripts/package.sh, checked the way their users meet
# them, and checked to hold exactly the binaries scripts/build-all.sh put
# into out/:
# - checksums: SHA256SUMS names every file of out/dist/ and matches it;
# - Debian packages: names, control fields, file lists, the ldconfig trigger
#   instead of maintainer scripts, lintian without errors. The amd64
#   runtime, -dev and tools packages are unpacked into a scratch root and the
#   C example is built against them with pkg-config and with find_package and
#   run against the packaged velto-caster (tests/tools/check_install.sh); a
#   program built against them gets its dependency on the runtime package
#   from dpkg-shlibdeps. The i386 library is ELF 32-bit;
# - tarballs: the packages' files, no more and no fewer, plus the license;
# - zip: its file list; a C host linked against each of the four import
#   libraries (lld-link for the .lib files, mingw-w64 ld for the .dll.a
#   files) streams byte-exactly under Wine from the zip's own DLLs.
#
# Without a tool it needs, the stage says what it skipped and passes, unless
# VELTO_REQUIRE_ALL_STAGES=1 (CI), where it fails.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
work=$root/build-packages
dist=$root/out/dist

skip() {
  if [ "${VELTO_REQUIRE_ALL_STAGES:-0}" = 1 ]; then
    echo "stage-45-packages: FAILED, cannot run: $1 (VELTO_REQUIRE_ALL_STAGES=1)" >&2
    exit 1
  fi
  echo "stage-45-packages: SKIPPED: $1"
  exit 0
}

for need in cpack:cmake dpkg-deb:dpkg dpkg-shlibdeps:dpkg-dev lintian:lintian file:file \
            zip:zip unzip:unzip llvm-dlltool:llvm lld-link:lld clang:clang \
            i686-w64-mingw32-gcc:gcc-mingw-w64-i686 i686-w64-mingw32-dlltool:binutils-mingw-w64-i686 \
            g++:g++ pkg-config:pkgconf; do
  command -v "${need%%:*}" >/dev/null || skip "no ${need%%:*} (Debian package ${need#*:}); the release files were not built or checked"
done
echo 'int main() { return 0; }' | g++ -m32 -x c++ - -o /dev/null >/dev/null 2>&1 \
  || skip "no i386 multilib compiler (g++-multilib); the release files were not built or checked"

failed=0
pass() { echo "PASS $*"; }
fail() { echo "FAIL $*"; failed=1; }
check() { # check DESCRIPTION COMMAND...
  local what=$1
  shift
  if "$@"; then pass "$what"; else fail "$what"; fi
}
finish() {
  if [ "$failed" -ne 0 ]; then
    echo "stage-45-packages: FAILED"
    exit 1
  fi
  echo "stage-45-packages: passed"
  exit 0
}

echo "--- scripts/package.sh"
bash scripts/package.sh || { echo "stage-45-packages: FAILED, scripts/package.sh failed"; exit 1; }

cache_value() { sed -n "s/^$2:[A-Z]*=//p" "$root/out/build/$1/CMakeCache.txt"; }
version=$(cache_value linux64 CMAKE_PROJECT_VERSION)
caster_host=$(cache_value linux64 VELTO_CASTER_HOST)
rm -rf "$work"
mkdir -p "$work"

# --- checksums ---------------------------------------------------------------------
echo "--- SHA256SUMS"
check "SHA256SUMS matches every file it names" \
  eval '(cd "$dist" && sha256sum --quiet -c SHA256SUMS)'
check "SHA256SUMS names every other file of out/dist" \
  eval '[ "$(cd "$dist" && ls | grep -vx SHA256SUMS)" = "$(awk "{print \$2}" "$dist/SHA256SUMS" | sort)" ]'

# --- Debian packages -----------------------------------------------------------------
echo "--- Debian packages"
deb() { echo "$dist/${1}_${version}_$2.deb"; }
expected_debs="libveltoclient-dev_${version}_amd64.deb
libveltoclient-dev_${version}_i386.deb
libveltoclient32_${version}_i386.deb
libveltoclient64_${version}_amd64.deb
veltoclient-tools_${version}_amd64.deb"
check "five Debian packages: runtime and -dev for amd64 and i386, tools for amd64" \
  eval '[ "$(cd "$dist" && ls -- *.deb)" = "$expected_debs" ]'

# Files (not directories) of a package, without the leading ./
deb_files() { dpkg-deb --fsys-tarfile "$1" | tar -t | grep -v '/$' | sed 's|^\./||' | sort; }

# fields_hold PACKAGE ARCH EXTENDED-REGEX-FOR-DEPENDS...
fields_hold() {
  local name=$1 arch=$2 file
  file=$(deb "$name" "$arch")
  shift 2
  [ "$(dpkg-deb -f "$file" Package)" = "$name" ] || return 1
  [ "$(dpkg-deb -f "$file" Version)" = "$version" ] || return 1
  [ "$(dpkg-deb -f "$file" Architecture)" = "$arch" ] || return 1
  grep -q "caster $caster_host on TCP port 2101" <<<"$(dpkg-deb -f "$file" Description)" || return 1
  local depends pattern
  depends=$(dpkg-deb -f "$file" Depends)
  for pattern in "$@"; do
    grep -Eq -- "$pattern" <<<"$depends" || { echo "  Depends: $depends" >&2; return 1; }
  done
}
# Outside libraries through dpkg-shlibdeps (libc6, never the amd64 host's
# lib32 compatibility package); our own packages at the same version.
check "libveltoclient64: fields, caster in the description, Depends on libc6" \
  fields_hold libveltoclient64 amd64 '(^|, )libc6 \('
check "libveltoclient32: fields, caster in the description, Depends on libc6" \
  fields_hold libveltoclient32 i386 '(^|, )libc6 \('
check "libveltoclient-dev (amd64): fields, Depends on libveltoclient64 (= $version)" \
  fields_hold libveltoclient-dev amd64 "(^|, )libveltoclient64 \\(= $version\\)"
check "libveltoclient-dev (i386): fields, Depends on libveltoclient32 (= $version)" \
  fields_hold libveltoclient-dev i386 "(^|, )libveltoclient32 \\(= $version\\)"
check "veltoclient-tools: fields, Depends on libveltoclient64 (= $version) and libc6" \
  fields_hold veltoclient-tools amd64 "(^|, )libveltoclient64 \\(= $version\\)" '(^|, )libc6 \('

# The runtime packages run ldconfig through a trigger, with no maintainer
# script, and carry the symbols file that gives other packages their
# dependency on them.
runtime_control_ok() {
  local file=$1 library=$2 control=$work/control-$2
  dpkg-deb -e "$file" "$control" || return 1
  [ "$(cd "$control" && ls | tr '\n' ' ')" = "control md5sums symbols triggers " ] || return 1
  grep -qx 'activate-noawait ldconfig' "$control/triggers" || return 1
  head -n1 "$control/symbols" | grep -q "^$library "
}
check "libveltoclient64: ldconfig trigger, symbols file, no maintainer scripts" \
  runtime_control_ok "$(deb libveltoclient64 amd64)" libVeltoClient64.so
check "libveltoclient32: ldconfig trigger, symbols file, no maintainer scripts" \
  runtime_control_ok "$(deb libveltoclient32 i386)" libVeltoClient32.so

docs() { printf 'usr/share/doc/%s/changelog.gz\nusr/share/doc/%s/copyright\n' "$1" "$1"; }
check "libveltoclient64 holds the library and its docs, nothing else" \
  eval '[ "$(deb_files "$(deb libveltoclient64 amd64)")" = "$( { echo usr/lib/x86_64-linux-gnu/libVeltoClient64.so; docs libveltoclient64; } | sort)" ]'
check "libveltoclient32 holds the library and its docs, nothing else" \
  eval '[ "$(deb_files "$(deb libveltoclient32 i386)")" = "$( { echo usr/lib/i386-linux-gnu/libVeltoClient32.so; docs libveltoclient32; } | sort)" ]'
dev_files_ok() { # ARCH MULTIARCH
  local files
  files=$(deb_files "$(deb libveltoclient-dev "$1")")
  for wanted in usr/include/velto.h "usr/lib/$2/pkgconfig/veltoclient.pc" \
                "usr/lib/$2/cmake/VeltoClient/VeltoClientConfig.cmake" \
                "usr/lib/$2/cmake/VeltoClient/VeltoClientConfigVersion.cmake" \
                "usr/lib/$2/cmake/VeltoClient/VeltoClientTargets.cmake"; do
    grep -qx "$wanted" <<<"$files" || { echo "  missing $wanted" >&2; return 1; }
  done
  ! grep -q '^usr/bin/' <<<"$files"
}
check "libveltoclient-dev (amd64): header, pkg-config file, CMake package, no programs" \
  dev_files_ok amd64 x86_64-linux-gnu
check "libveltoclient-dev (i386): header, pkg-config file, CMake package, no programs" \
  dev_files_ok i386 i386-linux-gnu
check "veltoclient-tools holds velto and velto-caster" \
  eval 'tools=$(deb_files "$(deb veltoclient-tools amd64)") &&
        grep -qx usr/bin/velto <<<"$tools" && grep -qx usr/bin/velto-caster <<<"$tools"'

# The library in each package is the one in out/, and the i386 one is
# 32-bit code.
for pair in libveltoclient64:amd64:x86_64-linux-gnu/libVeltoClient64.so \
            libveltoclient32:i386:i386-linux-gnu/libVeltoClient32.so; do
  IFS=: read -r package arch path <<<"$pair"
  dpkg -x "$(deb "$package" "$arch")" "$work/$arch-root"
  check "$package: the library is out/$(basename "$path"), byte for byte" \
    cmp -s "$work/$arch-root/usr/lib/$path" "out/$(basename "$path")"
done
check "libVeltoClient32.so is an ELF 32-bit Intel 80386 shared object" \
  eval 'file -b "$work/i386-root/usr/lib/i386-linux-gnu/libVeltoClient32.so" | grep -q "^ELF 32-bit LSB shared object, Intel 80386"'

echo "--- lintian"
lintian --fail-on error "$dist"/*.deb >"$work/lintian.log" 2>&1
lintian_status=$?
sed 's/^/    /' "$work/lintian.log"
check "lintian finds no error in the Debian packages" [ "$lintian_status" -eq 0 ]

# --- tarballs ----------------------------------------------------------------------
echo "--- tarballs"
# The tarball of an architecture holds what its packages install below /usr
# (less Debian's docs), plus the license: nothing is lost on either path.
tarball_matches_packages() { # TARBALL-ARCH DEB-ARCH DEB-NAMES...
  local name=VeltoClient-$version-linux-$1 arch=$2 packages
  shift 2
  packages=$(for package in "$@"; do deb_files "$(deb "$package" "$arch")"; done |
             grep -v '^usr/share/doc/' | sed 's|^usr/||' | sort)
  [ -z "$(uniq -d <<<"$packages")" ] || { echo "  in two packages: $(uniq -d <<<"$packages")" >&2; return 1; }
  diff <(tar -tzf "$dist/$name.tar.gz" | grep -v '/$' | sed "s|^$name/||" | sort) \
       <({ echo LICENSE; echo "$packages"; } | sort) >&2
}
check "x86_64 tarball: the amd64 packages' files and LICENSE, each file in one package" \
  tarball_matches_packages x86_64 amd64 libveltoclient64 libveltoclient-dev veltoclient-tools
check "i386 tarball: the i386 packages' files and LICENSE, each file in one package" \
  tarball_matches_packages i386 i386 libveltoclient32 libveltoclient-dev
mkdir -p "$work/tarballs"
tar -C "$work/tarballs" -xzf "$dist/VeltoClient-$version-linux-x86_64.tar.gz"
tar -C "$work/tarballs" -xzf "$dist/VeltoClient-$version-linux-i386.tar.gz"
check "tarballs hold out/libVeltoClient64.so and out/libVeltoClient32.so, byte for byte" \
  eval 'cmp -s out/libVeltoClient64.so "$work/tarballs/VeltoClient-$version-linux-x86_64/lib/x86_64-linux-gnu/libVeltoClient64.so" &&
        cmp -s out/libVeltoClient32.so "$work/tarballs/VeltoClient-$version-linux-i386/lib/i386-linux-gnu/libVeltoClient32.so"'

# --- building and running against the amd64 packages ---------------------------------
echo "--- the C example against the unpacked amd64 packages"
debroot=$work/debroot
for package in libveltoclient64 libveltoclient-dev veltoclient-tools; do
  dpkg -x "$(deb "$package" amd64)" "$debroot"
done
VELTO=$debroot/usr/bin/velto VELTO_CASTER=$debroot/usr/bin/velto-caster \
  VELTO_SANDBOX=$root/tests/tools/sandbox.sh VELTO_CASTER_HOST=$caster_host \
  bash tests/tools/check_install.sh --installed "$debroot/usr" "$root"
case $? in
  0) pass "the example builds with pkg-config and find_package and streams from velto-caster" ;;
  77) skip "no network namespace for the example's run (tests/tools/sandbox.sh)" ;;
  *) fail "the example builds with pkg-config and find_package and streams from velto-caster" ;;
esac

# A Debian package built against libveltoclient-dev: dpkg-shlibdeps reads the
# runtime package's symbols file and asks for it.
shlibdeps_names_runtime() {
  local dir=$work/shlibdeps
  mkdir -p "$dir/debian"
  printf 'Source: consumer\n\nPackage: consumer\nArchitecture: any\n' >"$dir/debian/control"
  dpkg-deb -R "$(deb libveltoclient64 amd64)" "$dir/debian/libveltoclient64" || return 1
  local libdir=debian/libveltoclient64/usr/lib/x86_64-linux-gnu
  (cd "$dir" &&
   PKG_CONFIG_PATH=$debroot/usr/lib/x86_64-linux-gnu/pkgconfig \
     cc -o consumer "$root/examples/minimal_host.c" \
        $(PKG_CONFIG_PATH=$debroot/usr/lib/x86_64-linux-gnu/pkgconfig pkg-config --cflags veltoclient) \
        -L"$libdir" -lVeltoClient64 -pthread &&
   dpkg-shlibdeps -O -l"$libdir" consumer 2>/dev/null) >"$dir/out" || return 1
  grep -q "libveltoclient64 (>= $version)" "$dir/out" || { cat "$dir/out" >&2; return 1; }
}
check "dpkg-shlibdeps gives a program built on the packages Depends: libveltoclient64 (>= $version)" \
  shlibdeps_names_runtime

# --- the Windows zip ------------------------------------------------------------------
echo "--- the Windows zip"
zipname=VeltoClient-$version-win32
unzip -q "$dist/$zipname.zip" -d "$work/zip"
zipped=$work/zip/$zipname
expected_zip="LICENSE.txt
README-windows.txt
bin/VeltoClient.dll
bin/VeltoClientD.dll
include/velto.h
lib/VeltoClient.def
lib/VeltoClient.lib
lib/VeltoClientD.lib
lib/libVeltoClient.dll.a
lib/libVeltoClientD.dll.a"
if [ -d out/install/windows/share ]; then
  expected_zip=$(printf '%s\n%s\n' "$expected_zip" "$(cd out/install/windows && find share -type f)" | LC_ALL=C sort)
fi
check "zip file list: header, both DLLs, four import libraries, .def, README, license, share/" \
  eval '[ "$(cd "$zipped" && find . -type f | sed "s|^\./||" | LC_ALL=C sort)" = "$expected_zip" ]'
check "README-windows.txt names the caster $caster_host and the four points" \
  eval 'grep -q "caster $caster_host on TCP port 2101" "$zipped/README-windows.txt" &&
        grep -q BadImageFormatException "$zipped/README-windows.txt" &&
        grep -q WSAStartup "$zipped/README-windows.txt" &&
        grep -q __cdecl "$zipped/README-windows.txt" && grep -q LoadLibrary "$zipped/README-windows.txt"'
check "the zip's DLLs and header are out/'s, byte for byte" \
  eval 'cmp -s "$zipped/bin/VeltoClient.dll" out/VeltoClient.dll &&
        cmp -s "$zipped/bin/VeltoClientD.dll" out/VeltoClientD.dll && cmp -s "$zipped/include/velto.h" out/velto.h'

# Four hosts: the same C file, linked by each linker against each import
# library from the zip. lld-link gets the system import libraries it needs
# from small .def files; the MinGW build uses mingw-w64's own.
echo "--- linking the Windows host against the zip's import libraries"
hosts=$work/wine-run
mkdir -p "$hosts"
cp "$zipped/bin/VeltoClient.dll" "$zipped/bin/VeltoClientD.dll" "$hosts/"
tests=$root/tests/packages
llvm-dlltool -m i386 -k -d "$tests/kernel32.def" -l "$work/kernel32.lib" &&
  llvm-dlltool -m i386 -k -d "$tests/ws2_32.def" -l "$work/ws2_32.lib" || fail "system import libraries for lld-link"
host_flags=(-O1 -ffreestanding -fno-builtin -fno-stack-protector -Wall -Wextra -Werror -I"$zipped/include")
for dll in VeltoClient VeltoClientD; do
  clang --target=i686-pc-windows-msvc "${host_flags[@]}" -DEXPECTED_DLL="\"$dll.dll\"" \
      -c "$tests/linked_host.c" -o "$work/host-$dll.obj" &&
    lld-link /nologo /entry:hostEntry /subsystem:console /nodefaultlib /out:"$hosts/msvc-$dll.exe" \
      "$work/host-$dll.obj" "$zipped/lib/$dll.lib" "$work/kernel32.lib" "$work/ws2_32.lib"
  check "lld-link links a host against lib/$dll.lib (MSVC objects, /safeseh)" test -f "$hosts/msvc-$dll.exe"
  i686-w64-mingw32-gcc "${host_flags[@]}" -DEXPECTED_DLL="\"$dll.dll\"" -nostdlib -nostartfiles \
      -e _hostEntry -o "$hosts/mingw-$dll.exe" "$tests/linked_host.c" \
      -L"$zipped/lib" -l"$dll" -lkernel32 -lws2_32
  check "mingw-w64 ld links a host against lib/lib$dll.dll.a" test -f "$hosts/mingw-$dll.exe"
done

# What each host asks the Windows loader for: the seven functions of the
# right DLL, by their plain names (objdump shows an import by ordinal or a
# decorated name differently).
imports_by_name() { # EXE DLL
  i686-w64-mingw32-objdump -p "$1" 2>/dev/null | awk -v dll="$2" '
    $0 ~ "DLL Name: " dll "$" { inside = 1; getline; next }
    inside && NF == 0 { exit }
    inside { print $NF }' | sort | tr '\n' ' '
}
seven="VeltoConstruct VeltoDestruct VeltoSourceTable VeltoStart VeltoStatus VeltoStop VeltoVersion "
for exe in msvc-VeltoClient msvc-VeltoClientD mingw-VeltoClient mingw-VeltoClientD; do
  check "$exe.exe imports the seven functions from ${exe#*-}.dll by plain name" \
    eval '[ "$(imports_by_name "$hosts/$exe.exe" "${exe#*-}.dll")" = "$seven" ]'
done

# --- Wine ---------------------------------------------------------------------------------
wine_missing=""
if ! command -v wine >/dev/null || ! command -v wineserver >/dev/null; then
  wine_missing="no wine"
elif ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q 'install ok installed'; then
  wine_missing="no 32-bit Wine (Debian package wine32:i386)"
elif ! { echo 'int main(void) { return 0; }' | gcc -m32 -x c - -o "$work/probe32" 2>/dev/null &&
         "$work/probe32" 2>/dev/null; }; then
  wine_missing="this machine cannot run 32-bit x86 programs, so neither can Wine"
elif [ "$(head -n1 /proc/sys/fs/binfmt_misc/qemu-i386 2>/dev/null)" = enabled ]; then
  # Such programs then run under qemu-user, where Wine cannot start.
  wine_missing="32-bit x86 programs run under qemu-i386 here (binfmt_misc), and Wine does not start there"
fi
if [ -n "$wine_missing" ]; then
  [ "$failed" -ne 0 ] && finish
  skip "$wine_missing; the release files were checked and the hosts linked, but not run"
fi

echo "--- the linked hosts under Wine"
prefix=$(mktemp -d "$work/wineprefix.XXXXXX")
# Wine and its wineserver run inside the namespace, with one prefix for the
# four runs: the wineserver owns the sockets, so it must see the private
# loopback.
VELTO_CASTER_HOST=$caster_host bash tests/tools/sandbox.sh bash -s "$prefix" "$hosts" <<'INNER'
set -u
prefix=$1 hosts=$2
export WINEPREFIX=$prefix WINEDEBUG=-all WINEARCH=win32 WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
echo "--- preparing a Wine prefix"
timeout 180 wineboot --init >/dev/null 2>&1 || { echo "wineboot failed"; exit 1; }
cd "$hosts" || exit 1
status=0
for exe in msvc-VeltoClient.exe msvc-VeltoClientD.exe mingw-VeltoClient.exe mingw-VeltoClientD.exe; do
  echo "--- $exe"
  [ -f "$exe" ] || { echo "FAIL $exe was not built"; status=1; continue; }
  timeout 120 wine "$exe" </dev/null 2>&1
  rc=$?
  echo "--- $exe: exit status $rc"
  [ "$rc" -eq 0 ] || status=1
done
timeout 30 wineserver -w || wineserver -k
exit $status
INNER
case $? in
  0) pass "each linked host streamed byte-exactly from the zip's DLLs under Wine" ;;
  77) skip "no network namespace for the Wine runs (tests/tools/sandbox.sh)" ;;
  *) fail "each linked host streamed byte-exactly from the zip's DLLs under Wine" ;;
esac
rm -rf "$prefix"
check "the DLLs that ran are the zip's and out/'s, byte for byte" \
  eval 'cmp -s "$hosts/VeltoClient.dll" out/VeltoClient.dll && cmp -s "$hosts/VeltoClientD.dll" out/VeltoClientD.dll &&
        cmp -s "$hosts/VeltoClient.dll" "$zipped/bin/VeltoClient.dll" && cmp -s "$hosts/VeltoClientD.dll" "$zipped/bin/VeltoClientD.dll"'
finish
