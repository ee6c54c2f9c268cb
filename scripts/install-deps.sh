#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when some are
# missing and we run as root. Without root it only says what is missing.
#   scripts/install-deps.sh            everything the tests need
#   scripts/install-deps.sh --minimal  only what the demonstration needs
set -u
if [ "${1:-}" = --minimal ]; then
  packages=(cmake g++ make iproute2)
else
  packages=(cmake g++ make clang libclang-rt-14-dev libgtest-dev libbenchmark-dev valgrind
            iproute2 pkgconf python3 g++-multilib g++-mingw-w64-i686 wine wine32:i386 rtklib
            gpsd gpsd-clients nlohmann-json3-dev libcpp-httplib-dev libjs-chart.js chromium
            prometheus lintian dpkg-dev file zip unzip llvm lld python3-pytest python3-venv
            python3-pip mono-mcs mono-runtime qemu-user-static)
fi

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' \
    || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: not root; missing packages: ${missing[*]}" >&2
  exit 0
fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
if printf '%s\n' "${missing[@]}" | grep -q ':i386$'; then
  dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
fi
apt-get update -q >/dev/null
# Recommended packages included: the Wine tests were proven with them.
apt-get install -y -q "${missing[@]}" >/dev/null \
  || echo "install-deps: some packages could not be installed: ${missing[*]}" >&2
exit 0
