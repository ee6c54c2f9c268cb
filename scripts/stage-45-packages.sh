#!/usr/bin/env bash
# The release files of scripts/package.sh, checked the way their users meet
# them, and checked to hold exactly the binaries scripts/build-all.sh put
# into out/:
# - SHA256SUMS names every file of out/dist/ and matches it;
# - Debian packages: control fields, file lists, the ldconfig trigger and
#   symbols file instead of maintainer scripts, lintian without errors and
#   without a hardening tag for the tools; the tools' manual pages in their
#   package, shown by man. The amd64 and i386 runtime and
#   -dev packages installed side by side into one root (dpkg --root), as
#   Multi-Arch: same allows. The amd64 packages unpacked into a scratch root:
#   the C example built against them with pkg-config and with find_package
#   and run against the packaged velto-caster
#   (tests/tools/check_install.sh), and dpkg-shlibdeps giving a program
#   built there its dependency on the runtime package. The i386 library is
#   ELF 32-bit;
# - each tarball holds its architecture's package files, no more, no fewer,
#   its README.txt and the example host;
# - the zip's file list; the example host built with MinGW as
#   README-windows.txt says; a C host linked against each of its four import
#   libraries (lld-link for the .lib files, mingw-w64 ld for the .dll.a
#   files) imports the seven functions by plain name and, under Wine in a
#   private network namespace, streams byte-exactly from velto-caster
#   through the zip's own DLLs.
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
for need in cpack:cmake dpkg-shlibdeps:dpkg-dev lintian:lintian file:file zip:zip unzip:unzip \
            llvm-dlltool:llvm lld-link:lld clang:clang i686-w64-mingw32-gcc:gcc-mingw-w64-i686 \
            i686-w64-mingw32-dlltool:binutils-mingw-w64-i686 pkg-config:pkgconf help2man:help2man man:man-db; do
  command -v "${need%%:*}" >/dev/null \
    || skip "no ${need%%:*} (Debian package ${need#*:}); the release files were not built or checked"
done
echo 'int main() { return 0; }' | g++ -m32 -x c++ - -o /dev/null >/dev/null 2>&1 \
  || skip "no i386 multilib compiler (g++-multilib); the release files were not built or checked"

failed=0
check() { # check DESCRIPTION COMMAND...
  local what=$1
  shift
  if "$@"; then echo "PASS $what"; else echo "FAIL $what"; failed=1; fi
}
finish() {
  [ "$failed" -eq 0 ] || { echo "stage-45-packages: FAILED"; exit 1; }
  echo "stage-45-packages: passed"
  exit 0
}

echo "--- scripts/package.sh"
bash scripts/package.sh || { echo "stage-45-packages: FAILED, scripts/package.sh failed"; exit 1; }
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' out/build/linux64/CMakeCache.txt)
caster_host=$(sed -n 's/^VELTO_CASTER_HOST:STRING=//p' out/build/linux64/CMakeCache.txt)
rm -rf "$work"
mkdir -p "$work"

check "SHA256SUMS names every other file of out/dist and matches it" \
  eval '(cd "$dist" && sha256sum --quiet -c SHA256SUMS &&
         [ "$(ls | grep -vx SHA256SUMS)" = "$(awk "{print \$2}" SHA256SUMS | sort)" ])'

# --- Debian packages -----------------------------------------------------------------
echo "--- Debian packages"
deb() { echo "$dist/${1}_${version}_$2.deb"; }
deb_files() { dpkg-deb --fsys-tarfile "$1" | tar -t | grep -v '/$' | sed 's|^\./||' | sort; }
check "five packages: runtime and -dev for amd64 and i386, tools for amd64" \
  eval '[ "$(cd "$dist" && ls -- *.deb | tr "\n" " ")" = "libveltoclient-dev_${version}_amd64.deb libveltoclient-dev_${version}_i386.deb libveltoclient32_${version}_i386.deb libveltoclient64_${version}_amd64.deb veltoclient-tools_${version}_amd64.deb " ]'

# fields_hold PACKAGE ARCH DEPENDS-REGEX...: name, version, architecture,
# the caster in the description, and each dependency.
fields_hold() {
  local file
  file=$(deb "$1" "$2")
  [ "$(dpkg-deb -f "$file" Package Version Architecture)" = "Package: $1
Version: $version
Architecture: $2" ] || return 1
  grep -q "caster $caster_host on TCP port 2101" <<<"$(dpkg-deb -f "$file" Description)" || return 1
  local depends pattern
  depends=$(dpkg-deb -f "$file" Depends)
  for pattern in "${@:3}"; do
    grep -Eq -- "(^|, )$pattern" <<<"$depends" || { echo "  Depends: $depends" >&2; return 1; }
  done
}
# Outside libraries come from dpkg-shlibdeps (libc6, never the amd64 host's
# lib32 compatibility package), our own packages at the same version.
libc='libc6 \('
check "libveltoclient64 fields" fields_hold libveltoclient64 amd64 "$libc"
check "libveltoclient32 fields" fields_hold libveltoclient32 i386 "$libc"
check "libveltoclient-dev (amd64) fields" fields_hold libveltoclient-dev amd64 "libveltoclient64 \\(= $version\\)"
check "libveltoclient-dev (i386) fields" fields_hold libveltoclient-dev i386 "libveltoclient32 \\(= $version\\)"
check "veltoclient-tools fields" fields_hold veltoclient-tools amd64 "libveltoclient64 \\(= $version\\)" "$libc" \
  "libcpp-httplib0\\.11( |,|$)"

# holds PACKAGE ARCH FILE...: the package has each file (and its docs).
holds() {
  local files wanted
  files=$(deb_files "$(deb "$1" "$2")")
  for wanted in "${@:3}" "usr/share/doc/$1/copyright" "usr/share/doc/$1/changelog.gz"; do
    grep -qx "$wanted" <<<"$files" || { echo "  $1 lacks $wanted" >&2; return 1; }
  done
}
for pair in amd64:x86_64-linux-gnu i386:i386-linux-gnu; do
  arch=${pair%%:*} multiarch=${pair#*:} bits=64
  [ "$arch" = i386 ] && bits=32
  runtime=libveltoclient$bits library=usr/lib/$multiarch/libVeltoClient$bits.so
  cmake_dir=usr/lib/$multiarch/cmake/VeltoClient
  check "$runtime holds its library and docs, nothing else" \
    eval 'holds $runtime $arch $library && [ "$(deb_files "$(deb $runtime $arch)" | wc -l)" = 3 ]'
  check "libveltoclient-dev ($arch) holds header, pkg-config file and CMake package" \
    holds libveltoclient-dev "$arch" usr/include/velto.h "usr/lib/$multiarch/pkgconfig/veltoclient.pc" \
    "$cmake_dir/VeltoClientConfig.cmake" "$cmake_dir/VeltoClientConfigVersion.cmake" \
    "$cmake_dir/VeltoClientTargets.cmake"
  # ldconfig runs through a trigger, with no maintainer script; the symbols
  # file gives other packages their dependency on this one.
  dpkg-deb -e "$(deb $runtime $arch)" "$work/control-$arch"
  check "$runtime: ldconfig trigger and symbols file, no maintainer scripts" \
    eval '[ "$(ls "$work/control-$arch" | tr "\n" " ")" = "control md5sums symbols triggers " ] &&
          grep -qx "activate-noawait ldconfig" "$work/control-$arch/triggers" &&
          grep -q "^libVeltoClient$bits.so $runtime " "$work/control-$arch/symbols"'
  dpkg -x "$(deb $runtime $arch)" "$work/root-$arch"
  check "$runtime: the library is out/libVeltoClient$bits.so, byte for byte" \
    cmp -s "$work/root-$arch/$library" "out/libVeltoClient$bits.so"
done
check "veltoclient-tools holds velto and velto-caster" \
  holds veltoclient-tools amd64 usr/bin/velto usr/bin/velto-caster
check "veltoclient-tools holds their manual pages, compressed" \
  holds veltoclient-tools amd64 usr/share/man/man1/velto.1.gz usr/share/man/man1/velto-caster.1.gz
check "runtime and -dev packages are Multi-Arch: same" \
  eval '(for file in $(deb libveltoclient64 amd64) $(deb libveltoclient32 i386) $(deb libveltoclient-dev amd64) \
                     $(deb libveltoclient-dev i386); do
           [ "$(dpkg-deb -f "$file" Multi-Arch)" = same ] || exit 1; done)'

# Both architectures' development files in one system, as on a machine that
# builds for both: dpkg installs the second -dev beside the first only when
# both say Multi-Arch: same and every file they share is the same.
coinstall() {
  local root=$work/coinstall
  rm -rf "$root"
  mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
  touch "$root/var/lib/dpkg/status"
  dpkg --root="$root" --add-architecture i386 &&
    dpkg --root="$root" --force-not-root --force-depends -i \
      "$(deb libveltoclient64 amd64)" "$(deb libveltoclient-dev amd64)" \
      "$(deb libveltoclient32 i386)" "$(deb libveltoclient-dev i386)" >"$work/coinstall.log" 2>&1 ||
    { sed 's/^/    dpkg: /' "$work/coinstall.log" >&2; return 1; }
  [ "$(dpkg-query --root="$root" -W -f='${Package}:${Architecture} ${db:Status-Abbrev}\n' | sort)" = \
"libveltoclient-dev:amd64 ii 
libveltoclient-dev:i386 ii 
libveltoclient32:i386 ii 
libveltoclient64:amd64 ii " ] &&
    [ -f "$root/usr/lib/x86_64-linux-gnu/pkgconfig/veltoclient.pc" ] &&
    [ -f "$root/usr/lib/i386-linux-gnu/pkgconfig/veltoclient.pc" ] &&
    cmp -s "$root/usr/include/velto.h" out/velto.h
}
check "amd64 and i386 runtime and -dev packages install side by side (dpkg --root)" coinstall
check "libVeltoClient32.so is an ELF 32-bit Intel 80386 shared object" \
  eval '[[ "$(file -b out/libVeltoClient32.so)" == "ELF 32-bit LSB shared object, Intel 80386"* ]]'

lintian -I --fail-on error "$dist"/*.deb >"$work/lintian.log" 2>&1
lintian_status=$?
grep -v 'root privileges' "$work/lintian.log" | sed 's/^/    lintian: /'
check "lintian finds no error" [ "$lintian_status" -eq 0 ]
# velto monitor serves HTTP and velto-caster takes any client: built with
# Debian's hardening flags, neither may have a hardening tag, not even an
# informational one (-z now, fortified functions, stack protector, PIE).
check "lintian -I: no hardening tag for the tools" \
  eval '! grep -q "^[EWI]: veltoclient-tools: hardening-" "$work/lintian.log"'
check "lintian: a manual page for each of the tools" \
  eval '! grep -q "^[EWI]: veltoclient-tools: no-manual-page" "$work/lintian.log"'

# The tarball of an architecture holds what its packages install below /usr
# (less Debian's docs), each file from one package only, the license, the
# short README and the example host.
tarball_matches_packages() { # TARBALL-ARCH DEB-ARCH PACKAGE...
  local name=VeltoClient-$version-linux-$1 arch=$2 files
  files=$(for package in "${@:3}"; do deb_files "$(deb "$package" "$arch")"; done |
          grep -v '^usr/share/doc/' | sed 's|^usr/||' | sort)
  [ -z "$(uniq -d <<<"$files")" ] || { echo "  in two packages: $(uniq -d <<<"$files")" >&2; return 1; }
  diff <(tar -tzf "$dist/$name.tar.gz" | grep -v '/$' | sed "s|^$name/||" | sort) \
       <(printf 'LICENSE\nREADME.txt\nexamples/minimal_host.c\n%s\n' "$files" | sort) >&2
}
check "x86_64 tarball: the amd64 packages' files, LICENSE, README.txt and the example" \
  tarball_matches_packages x86_64 amd64 libveltoclient64 libveltoclient-dev veltoclient-tools
check "i386 tarball: the i386 packages' files, LICENSE, README.txt and the example" \
  tarball_matches_packages i386 i386 libveltoclient32 libveltoclient-dev

# --- building and running against the amd64 packages ---------------------------------
echo "--- the C example against the unpacked amd64 packages"
debroot=$work/debroot
for package in libveltoclient64 libveltoclient-dev veltoclient-tools; do
  dpkg -x "$(deb $package amd64)" "$debroot"
done
export VELTO=$debroot/usr/bin/velto VELTO_CASTER=$debroot/usr/bin/velto-caster \
  VELTO_SANDBOX=$root/tests/tools/sandbox.sh VELTO_CASTER_HOST=$caster_host
bash tests/tools/check_install.sh --installed "$debroot/usr" "$root"
case $? in
  0) check "the example builds with pkg-config and find_package and streams" true ;;
  77) skip "no network namespace (tests/tools/sandbox.sh) to run the example in" ;;
  *) check "the example builds with pkg-config and find_package and streams" false ;;
esac

# `man velto` as it works once the package is installed: the pages in the
# unpacked package's man directory, each saying the packages' version.
check "man velto and man velto-caster show their pages, version $version" \
  eval 'for page in velto velto-caster; do
          MANPATH=$debroot/usr/share/man MANWIDTH=80 man -P cat "$page" 2>/dev/null >"$work/$page.man" &&
            grep -q "^NAME" "$work/$page.man" && grep -q "$page $version" "$work/$page.man" || exit 1
        done'

# A Debian package built against libveltoclient-dev: dpkg-shlibdeps finds the
# runtime package's symbols file in its build tree and asks for it.
shlibdeps=$work/shlibdeps
mkdir -p "$shlibdeps/debian"
printf 'Source: consumer\n\nPackage: consumer\nArchitecture: any\n' >"$shlibdeps/debian/control"
dpkg-deb -R "$(deb libveltoclient64 amd64)" "$shlibdeps/debian/libveltoclient64"
check "dpkg-shlibdeps gives a program built on the packages Depends: libveltoclient64 (>= $version)" \
  eval '(cd "$shlibdeps" && libdir=debian/libveltoclient64/usr/lib/x86_64-linux-gnu &&
         cc -o consumer "$root/examples/minimal_host.c" -pthread -L$libdir -lVeltoClient64 \
           $(PKG_CONFIG_PATH=$debroot/usr/lib/x86_64-linux-gnu/pkgconfig pkg-config --cflags veltoclient) &&
         dpkg-shlibdeps -O -l$libdir consumer 2>/dev/null) | grep -q "libveltoclient64 (>= $version)"'

# --- the Windows zip ----------------------------------------------------------------------
echo "--- the Windows zip"
zipname=VeltoClient-$version-win32
unzip -q "$dist/$zipname.zip" -d "$work/zip"
zipped=$work/zip/$zipname
expected="LICENSE.txt README-windows.txt bin/VeltoClient.dll bin/VeltoClientD.dll include/velto.h
examples/minimal_host.c lib/VeltoClient.def lib/VeltoClient.lib lib/VeltoClientD.lib lib/libVeltoClient.dll.a lib/libVeltoClientD.dll.a"
[ -d out/install/windows/share ] && expected+=" $(cd out/install/windows && find share -type f)"
check "zip: header, both DLLs, four import libraries, .def, README, example, license, share/" \
  eval '[ "$(cd "$zipped" && find . -type f | sed "s|^\./||" | LC_ALL=C sort)" = "$(tr " " "\n" <<<"$expected" | LC_ALL=C sort)" ]'
check "README-windows.txt: caster, x86 only, WSAStartup, __cdecl, linking and LoadLibrary" \
  eval 'for text in "caster $caster_host on TCP port 2101" BadImageFormatException WSAStartup __cdecl \
                    VeltoClient.lib -lVeltoClient LoadLibrary; do
          grep -q -- "$text" "$zipped/README-windows.txt" || exit 1; done'
check "the zip's DLLs and header are out/'s, byte for byte" \
  eval 'cmp -s "$zipped/bin/VeltoClient.dll" out/VeltoClient.dll &&
        cmp -s "$zipped/bin/VeltoClientD.dll" out/VeltoClientD.dll && cmp -s "$zipped/include/velto.h" out/velto.h'

# The example as README-windows.txt builds it: with MinGW-w64 against the
# zip's import library, winpthreads linked in, so that it needs nothing but
# the system's DLLs and VeltoClient.dll.
check "zip: the example builds with MinGW as README-windows.txt says, importing only system DLLs and VeltoClient.dll" \
  eval 'grep -q "gcc -I include examples.minimal_host.c -L lib -lVeltoClient -lws2_32" "$zipped/README-windows.txt" &&
        (cd "$zipped" && i686-w64-mingw32-gcc -Wall -Wextra -Werror -I include examples/minimal_host.c -L lib \
           -lVeltoClient -lws2_32 -Wl,-Bstatic -lpthread -Wl,-Bdynamic -o "$work/minimal_host.exe") &&
        [ "$(i686-w64-mingw32-objdump -p "$work/minimal_host.exe" | sed -n "s/.*DLL Name: //p" | sort | tr "\n" " ")" = \
          "KERNEL32.dll VeltoClient.dll WS2_32.dll msvcrt.dll " ]'

# One C file, linked by each linker against each import library of the zip.
# lld-link gets the system import libraries it needs from llvm-dlltool;
# -k drops the @N decoration from the names imported.
echo "--- linking a Windows host against each import library of the zip"
hosts=$work/wine-run
mkdir -p "$hosts"
cp "$zipped"/bin/*.dll "$hosts/"
printf 'LIBRARY KERNEL32.dll\nEXPORTS\n%s\n' CloseHandle@4 CreateEventA@16 CreateFileA@28 \
  ExitProcess@4 GetModuleHandleA@4 GetStdHandle@4 SetEvent@4 WaitForSingleObject@8 WriteFile@20 \
  >"$work/kernel32.def"
printf 'LIBRARY WS2_32.dll\nEXPORTS\nWSAStartup@8\n' >"$work/ws2_32.def"
llvm-dlltool -m i386 -k -d "$work/kernel32.def" -l "$work/kernel32.lib"
llvm-dlltool -m i386 -k -d "$work/ws2_32.def" -l "$work/ws2_32.lib"
flags=(-O1 -ffreestanding -fno-builtin -fno-stack-protector -Wall -Wextra -Werror -I"$zipped/include")
# The seven functions a host asks the Windows loader for, from DLL, as
# objdump lists them (an import by ordinal shows as <none>).
imports() { # EXE DLL
  i686-w64-mingw32-objdump -p "$1" 2>/dev/null | awk -v dll="$2" '
    $0 ~ "DLL Name: " dll "$" { inside = 1; getline; next }
    inside && NF == 0 { exit }
    inside { print $NF }' | sort | tr '\n' ' '
}
seven="VeltoConstruct VeltoDestruct VeltoSourceTable VeltoStart VeltoStatus VeltoStop VeltoVersion "
for dll in VeltoClient VeltoClientD; do
  for linker in msvc mingw; do
    exe=$linker-$dll
    defines=(-DEXPECTED_DLL="\"$dll.dll\"" -DOUTPUT_FILE="\"$exe.bin\"")
    if [ $linker = msvc ]; then
      clang --target=i686-pc-windows-msvc "${flags[@]}" "${defines[@]}" -c tests/packages/linked_host.c \
          -o "$work/$exe.obj" &&
        lld-link /nologo /entry:hostEntry /subsystem:console /nodefaultlib /out:"$hosts/$exe.exe" \
          "$work/$exe.obj" "$zipped/lib/$dll.lib" "$work/kernel32.lib" "$work/ws2_32.lib"
      with="lld-link (MSVC objects, /safeseh) against lib/$dll.lib"
    else
      i686-w64-mingw32-gcc "${flags[@]}" "${defines[@]}" -nostdlib -nostartfiles -e _hostEntry \
        -o "$hosts/$exe.exe" tests/packages/linked_host.c -L"$zipped/lib" -l"$dll" -lkernel32 -lws2_32
      with="mingw-w64 ld against lib/lib$dll.dll.a"
    fi
    check "$with: links, imports the seven functions from $dll.dll by plain name" \
      eval '[ "$(imports "$hosts/$exe.exe" "$dll.dll")" = "$seven" ]'
  done
done

# --- Wine ----------------------------------------------------------------------------------
# 32-bit Wine is an i386 program: on a kernel that runs 64-bit user code
# only, the hosts run in the 32-bit test machine (scripts/vm32.sh), with the
# packaged velto-caster beside them; natively, in a network namespace.
source scripts/lib-i386.sh
if ! i386_choose; then
  [ "$failed" -ne 0 ] && finish
  skip "NOT RUN UNDER WINE: $i386_why. The release files were checked and the four hosts linked, with their import tables checked; they were not run"
fi
if [ "$i386_where" = native ] && ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q 'install ok installed'; then
  [ "$failed" -ne 0 ] && finish
  skip "NOT RUN UNDER WINE: no 32-bit Wine (Debian package wine32:i386); the release files were checked and the hosts linked"
fi

echo "--- the linked hosts under Wine, against velto-caster ($([ "$i386_where" = vm ] && echo "in the 32-bit test machine" || echo "natively"))"
i386_run "$root" bash "$root/tests/tools/sandbox.sh" bash "$root/tests/packages/run_linked_hosts.sh" "$hosts" \
  msvc-VeltoClient msvc-VeltoClientD mingw-VeltoClient mingw-VeltoClientD
case $? in
  0) check "each linked host streamed byte-exactly through the zip's DLLs under Wine" true ;;
  77) skip "NOT RUN UNDER WINE: no network namespace (tests/tools/sandbox.sh) for the Wine runs" ;;
  *) check "each linked host streamed byte-exactly through the zip's DLLs under Wine" false ;;
esac
check "the DLLs that ran are the zip's and out/'s, byte for byte" \
  eval 'cmp -s "$hosts/VeltoClient.dll" out/VeltoClient.dll && cmp -s "$hosts/VeltoClientD.dll" out/VeltoClientD.dll'
finish
