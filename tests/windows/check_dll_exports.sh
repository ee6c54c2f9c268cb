#!/usr/bin/env bash
# Checks the export and import tables of the Windows DLLs:
#   check_dll_exports.sh VeltoClient.dll [VeltoClientD.dll ...]
# - exactly seven exports, by their plain (undecorated) names, with the
#   ordinals 1 to 7 in alphabetical order of the names, and nothing else
#   (no __addr, no __temp, no runtime symbols);
# - imports from system DLLs only: KERNEL32, WS2_32 and msvcrt, plus ADVAPI32
#   for the debug DLL, whose stack protection draws its random guard value
#   from there. No compiler runtime DLL (libgcc, libstdc++, libwinpthread,
#   libssp) and no api-ms-* set.
set -u
objdump=${OBJDUMP:-i686-w64-mingw32-objdump}
if ! command -v "$objdump" >/dev/null; then
  echo "check_dll_exports: $objdump not found" >&2
  exit 2
fi

expected="1 VeltoConstruct
2 VeltoDestruct
3 VeltoSourceTable
4 VeltoStart
5 VeltoStatus
6 VeltoStop
7 VeltoVersion"

failures=0
for dll in "$@"; do
  name=$(basename "$dll")
  if ! table=$("$objdump" -p "$dll" 2>&1); then
    echo "FAIL $name: objdump cannot read it: $table"
    failures=$((failures + 1))
    continue
  fi
  grep -q 'Magic.*010b' <<<"$table" || grep -q 'PE32$' <<<"$table" \
    || grep -q 'file format pei-i386' <<<"$table" || {
      echo "FAIL $name: not a 32-bit x86 DLL"; failures=$((failures + 1)); }

  # "Export Address Table -- Ordinal Base N", then under
  # "[Ordinal/Name Pointer] Table" one "[index] Name" line per named export,
  # whose ordinal is base + index.
  base=$(sed -n "s/.*Export Address Table -- Ordinal Base[[:space:]]*\([0-9][0-9]*\).*/\1/p" <<<"$table" | head -1)
  named=$(awk -v base="${base:-0}" '
      /\[Ordinal\/Name Pointer\] Table/ { inside = 1; next }
      inside && /^[ \t]*$/ { exit }
      inside && match($0, /\[ *[0-9]+\]/) {
        index_text = substr($0, RSTART + 1, RLENGTH - 2); gsub(/ /, "", index_text)
        rest = substr($0, RSTART + RLENGTH); gsub(/^[ \t]+|[ \t]+$/, "", rest)
        print index_text + base, rest
      }' <<<"$table" | sort -n)
  if [ "$named" = "$expected" ]; then
    echo "PASS $name: exports the seven functions by plain name, ordinals 1-7 alphabetical"
  else
    echo "FAIL $name: exports differ; expected"
    sed 's/^/    /' <<<"$expected"
    echo "  found"
    sed 's/^/    /' <<<"${named:-(none)}"
    failures=$((failures + 1))
  fi
  addresses=$(sed -n 's/.*Export Address Table[ \t]*\([0-9a-fA-F]*\)$/\1/p' <<<"$table" | head -1)
  if [ -n "$addresses" ] && [ $((16#$addresses)) -ne 7 ]; then
    echo "FAIL $name: $((16#$addresses)) entries in the export address table, expected 7"
    failures=$((failures + 1))
  fi
  if grep -Eq '\] +(_?_addr|_?_temp)$' <<<"$table"; then
    echo "FAIL $name: exports __addr or __temp"
    failures=$((failures + 1))
  fi

  allowed='^(KERNEL32\.dll|WS2_32\.dll|msvcrt\.dll)$'
  case "$name" in
    *D.dll) allowed='^(KERNEL32\.dll|WS2_32\.dll|msvcrt\.dll|ADVAPI32\.dll)$' ;;
  esac
  imports=$(sed -n 's/^[ \t]*DLL Name: //p' <<<"$table" | sort -u)
  unexpected=$(grep -Eiv "$allowed" <<<"$imports" || true)
  # Windows compares DLL names without regard to case.
  if [ -z "$imports" ]; then
    echo "FAIL $name: no import table found"
    failures=$((failures + 1))
  elif [ -n "$unexpected" ]; then
    echo "FAIL $name: imports from $(tr '\n' ' ' <<<"$unexpected")"
    failures=$((failures + 1))
  else
    echo "PASS $name: imports only from $(tr '\n' ' ' <<<"$imports")"
  fi
done
[ "$failures" -eq 0 ]
