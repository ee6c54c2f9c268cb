#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when some are
# missing and we run as root. Without root it only says what is missing.
# Then, unless --minimal, the browser test's JavaScript packages (npm ci)
# and, where the kernel runs no 32-bit x86 programs, the image of the 32-bit
# test machine (scripts/vm32.sh image: about 15 minutes once, then cached
# for the machine).
#   scripts/install-deps.sh            everything the tests need
#   scripts/install-deps.sh --minimal  only what the demonstration needs
set -u
cd "$(dirname "$0")/.."
if [ "${1:-}" = --minimal ]; then
  packages=(cmake g++ make iproute2 nlohmann-json3-dev)
else
  packages=(cmake g++ make clang libclang-rt-14-dev libgtest-dev libbenchmark-dev valgrind
            iproute2 pkgconf python3 g++-multilib g++-mingw-w64-i686 wine wine32:i386 rtklib
            gpsd gpsd-clients nlohmann-json3-dev libcpp-httplib-dev libjs-chart.js chromium
            prometheus lintian help2man dpkg-dev file zip unzip llvm lld python3-pytest python3-venv
            python3-pip mono-mcs mono-runtime qemu-system-x86 debootstrap e2fsprogs)
  # The browser test runs on Node.js 18 or later with npm: Debian's own, or
  # one that is there already (Debian's npm cannot be installed beside
  # another Node.js's).
  command -v npm >/dev/null || packages+=(nodejs npm)
fi

# puppeteer-core for the browser test, exactly as tests/tools/monitor/
# package-lock.json pins it, from npm's cache when it has it. It drives
# Debian's chromium; PUPPETEER_SKIP_DOWNLOAD keeps any browser download off.
browser_test_modules() {
  local dir=tests/tools/monitor
  [ "${1:-}" = --minimal ] && return 0
  if ! command -v npm >/dev/null; then
    echo "install-deps: npm is missing; the browser test will be skipped" >&2
    return 0
  fi
  [ -f "$dir/node_modules/.package-lock.json" ] &&
    [ ! "$dir/package-lock.json" -nt "$dir/node_modules/.package-lock.json" ] && return 0
  echo "install-deps: npm ci in $dir"
  (cd "$dir" && PUPPETEER_SKIP_DOWNLOAD=1 npm ci --prefer-offline --no-audit --no-fund \
     --loglevel=error >/dev/null) || echo "install-deps: npm ci failed in $dir" >&2
}

# The 32-bit test machine, where 32-bit programs need it (root only).
vm32_image() {
  [ "${1:-}" = --minimal ] && return 0
  [ "$(id -u)" -eq 0 ] || return 0
  source scripts/lib-i386.sh
  i386_vm_wanted || ! i386_native || return 0
  bash scripts/vm32.sh image >/dev/null || echo "install-deps: the 32-bit test machine could not be built" >&2
}

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' \
    || missing+=("$package")
done
if [ ${#missing[@]} -eq 0 ]; then
  browser_test_modules "${1:-}"
  vm32_image "${1:-}"
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: not root; missing packages: ${missing[*]}" >&2
  browser_test_modules "${1:-}"
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
browser_test_modules "${1:-}"
vm32_image "${1:-}"
exit 0
