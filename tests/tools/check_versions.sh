#!/usr/bin/env bash
# One version for everything the project ships. project() in the top
# CMakeLists.txt writes it; the programs and their manual pages, the Python
# binding, the pkg-config file, the CMake package and the Debian packages
# must all say the same.
# (The library's own release record, VeltoVersion, is a date of its own.)
#   check_versions.sh VERSION SOURCE_DIR BUILD_DIR
# with VELTO and VELTO_CASTER in the environment.
set -u
version=${1:?project version} source=${2:?source directory} build=${3:?build directory}
: "${VELTO:?path of the velto program}" "${VELTO_CASTER:?path of the velto-caster program}"
failures=0

says() { # WHAT FOUND
  if [ "$2" = "$version" ]; then
    echo "PASS $1: $version"
  else
    echo "FAIL $1: '$2', not $version"
    failures=$((failures + 1))
  fi
}

says "velto --version" "$("$VELTO" --version | sed -n 's/^velto \([^,]*\),.*/\1/p')"
says "velto-caster --version" "$("$VELTO_CASTER" --version | sed -n 's/^velto-caster //p')"
says "bindings/python/pyproject.toml" \
  "$(sed -n 's/^version = "\(.*\)"$/\1/p' "$source/bindings/python/pyproject.toml")"
says "veltoclient.pc" "$(sed -n 's/^Version: //p' "$build/veltoclient.pc")"
says "the CMake package" \
  "$(sed -n 's/^set(PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/VeltoClientConfigVersion.cmake")"
if [ -f "$build/CPackConfig.cmake" ]; then
  says "the Debian packages" \
    "$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")"
fi
for page in "$build"/tools/man/*.1.gz; do
  [ -f "$page" ] || continue
  name=$(basename "$page" .1.gz)
  says "the manual page $name(1)" "$(zcat "$page" | sed -n "s/^\.TH .* \"$name \([^\"]*\)\".*/\1/p")"
done
# The .NET binding states no version of its own; should it ever, it is this one.
for stated in $(grep -ho 'Assembly[A-Za-z]*Version("[^"]*")' "$source/bindings/dotnet/Velto.cs"); do
  says "bindings/dotnet/Velto.cs ($stated)" "$(sed 's/.*("\(.*\)")/\1/' <<<"$stated")"
done

[ "$failures" -eq 0 ] || { echo "$failures place(s) say another version"; exit 1; }
