#!/usr/bin/env bash
# What a host can link against or look up by name is interface: the shared
# object must show exactly the seven entry points and the caster-address
# records __addr and __temp. Any other visible symbol could bind to a host's
# symbol of the same name or become a dependency nobody meant to offer.
set -u
library=${1:?usage: check_exports.sh path/to/libVeltoClient64.so}

listing=$(nm -D --defined-only "$library") || {
    echo "check_exports: cannot read the dynamic symbols of $library" >&2
    exit 1
}

functions="VeltoConstruct VeltoDestruct VeltoSourceTable VeltoStart VeltoStatus VeltoStop VeltoVersion"
data="__addr __temp"

# "address type name", the name possibly carrying a version suffix.
actual=$(awk '{ sub(/@.*/, "", $3); print $3 }' <<<"$listing" | sort)
expected=$(tr ' ' '\n' <<<"$functions $data" | sort)

status=0
missing=$(comm -13 <(echo "$actual") <(echo "$expected"))
extra=$(comm -23 <(echo "$actual") <(echo "$expected"))
if [ -n "$missing" ]; then
    echo "check_exports: not exported: $(echo $missing)" >&2
    status=1
fi
if [ -n "$extra" ]; then
    echo "check_exports: exported but must stay hidden: $(echo $extra)" >&2
    status=1
fi

type_of() { awk -v name="$1" '{ n = $3; sub(/@.*/, "", n) } n == name { print $2 }' <<<"$listing"; }
for name in $functions; do
    type=$(type_of "$name")
    if [ -n "$type" ] && [ "$type" != T ]; then
        echo "check_exports: $name is exported as type '$type', expected a function (T)" >&2
        status=1
    fi
done
for name in $data; do
    type=$(type_of "$name")
    case "$type" in
        "" | B | D | R) ;;
        *)
            echo "check_exports: $name is exported as type '$type', expected data (B, D or R)" >&2
            status=1
            ;;
    esac
done

if [ "$status" -eq 0 ]; then
    echo "check_exports: $library exports exactly the seven functions, __addr and __temp"
fi
exit "$status"
