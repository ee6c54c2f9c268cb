#!/usr/bin/env bash
# An integrator's first build against an installed library: `cmake
# --install` into a fresh prefix, then the C example built outside this
# tree once with find_package(VeltoClient) and once with pkg-config, and
# both run against a local caster.
#   check_install.sh BUILD_DIR SOURCE_DIR                 install, then check
#   check_install.sh --installed PREFIX SOURCE_DIR        check a tree installed
#                                                         otherwise (unpacked
#                                                         Debian packages)
NEEDS_SANDBOX=1
source "$(dirname "$0")/lib.sh"
installed=
if [ "${1:-}" = --installed ]; then
  installed=${2:?installed prefix}
  shift 2
else
  build=${1:?build directory}
  shift
fi
source_dir=${1:?source directory}
prefix=${installed:-$work/prefix}
example=$source_dir/examples/minimal_host.c

# The VeltoClient library a program loads, as a canonical path.
loaded_library() {
  ldd "$1" | sed -n 's/.*libVeltoClient[^ ]* => \([^ ]*\) .*/\1/p' | xargs -r readlink -f
}

if [ -z "$installed" ]; then
  cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 ||
    { cat "$work/install.log" >&2; fail "cmake --install"; finish; }
fi
# lib/ or, in Debian's layout, lib/<multiarch>/.
library=$(find "$prefix"/lib* -maxdepth 2 -name 'libVeltoClient*.so' 2>/dev/null | head -n1)
check "header installed" test -f "$prefix/include/velto.h"
check "shared library installed" test -n "$library"
check "CMake package installed" test -f "$(dirname "$library")/cmake/VeltoClient/VeltoClientConfig.cmake"
check "pkg-config file installed" test -f "$(dirname "$library")/pkgconfig/veltoclient.pc"
check "installed velto runs from the prefix" \
  eval '"$prefix/bin/velto" --version | grep -q "library release 2018-06-19"'
check "installed velto uses the installed library" \
  eval '[ "$(loaded_library "$prefix/bin/velto")" = "$(readlink -f "$library")" ]'

# find_package: the consumer knows nothing but the prefix.
# Same compiler and flags as the library's build (an i386 library wants an
# i386 program).
cc=${VELTO_CONSUMER_CC:-cc}
cflags=${VELTO_CONSUMER_CFLAGS:-}
consumer_options=(-DCMAKE_C_COMPILER="$cc" -DCMAKE_C_FLAGS="$cflags")
[ -n "${VELTO_CONSUMER_TOOLCHAIN:-}" ] &&
  consumer_options+=(-DCMAKE_TOOLCHAIN_FILE="$VELTO_CONSUMER_TOOLCHAIN")
cmake -S "$(dirname "$0")/install_consumer" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$prefix" \
  "${consumer_options[@]}" -DEXAMPLE_SOURCE="$example" -DCMAKE_BUILD_TYPE=Release \
  >"$work/consumer.log" 2>&1 &&
  cmake --build "$work/consumer" >>"$work/consumer.log" 2>&1
check "example builds with find_package(VeltoClient)" test -x "$work/consumer/minimal_host" ||
  cat "$work/consumer.log" >&2
check "that build links the installed library" \
  eval '[ "$(loaded_library "$work/consumer/minimal_host")" = "$(readlink -f "$library")" ]'

# pkg-config.
export PKG_CONFIG_PATH="$(dirname "$library")/pkgconfig"
if command -v pkg-config >/dev/null; then
  flags=$(pkg-config --cflags --libs veltoclient)
else
  # No pkg-config here: expand the file's variables by hand, as it would.
  pc="$PKG_CONFIG_PATH/veltoclient.pc"
  expand() { local v=$1; v=${v//\$\{pcfiledir\}/$PKG_CONFIG_PATH}; v=${v//\$\{prefix\}/$pc_prefix}
             v=${v//\$\{libdir\}/$pc_libdir}; v=${v//\$\{includedir\}/$pc_includedir}; echo "$v"; }
  pc_prefix=$(expand "$(sed -n 's/^prefix=//p' "$pc")")
  pc_libdir=$(expand "$(sed -n 's/^libdir=//p' "$pc")")
  pc_includedir=$(expand "$(sed -n 's/^includedir=//p' "$pc")")
  flags="$(expand "$(sed -n 's/^Cflags: //p' "$pc")") $(expand "$(sed -n 's/^Libs: //p' "$pc")")"
fi
"$cc" $cflags -o "$work/pc_host" "$example" $flags -pthread -Wl,-rpath,"$(dirname "$library")" \
  >"$work/pc.log" 2>&1
check "example builds with pkg-config's flags" test -x "$work/pc_host" || cat "$work/pc.log" >&2

# A library built with a sanitizer (VELTO_SANITIZE) needs its runtime
# loaded before anything else; these plain programs get it preloaded.
preload=$(ldd "$library" | sed -n 's/.*lib[at]san\.so[^ ]* => \([^ ]*\) .*/\1/p' | head -n1)

start_caster --rate 8000
for build_kind in find_package pkg-config; do
  host=$work/consumer/minimal_host
  [ $build_kind = pkg-config ] && host=$work/pc_host
  [ -x "$host" ] || continue
  env ${preload:+LD_PRELOAD="$preload"} "$host" RTCM3_DEMO 1 >"$work/run.out" 2>&1
  status=$?
  check "$build_kind build streams and stops cleanly" \
    eval '[ $status = 0 ] && [ "$(grep "^status" "$work/run.out" | paste -sd,)" = "status 1,status 0" ]'
done
finish
