#!/usr/bin/env bash
# Installs what Vesk needs on a Debian machine, when it is missing.
#   scripts/setup.sh          everything for building and testing
#   scripts/setup.sh --run    only what building veskctl needs
set -euo pipefail
packages=(cmake ninja-build g++ nlohmann-json3-dev libcli11-dev help2man prometheus-cpp-dev libboost-dev)
if [ "${1:-}" != "--run" ]; then
  packages+=(clang libclang-rt-14-dev libgtest-dev libgmock-dev libbenchmark-dev
             g++-mingw-w64-x86-64-posix strace faketime python3-jsonschema wine64
             prometheus prometheus-alertmanager python3-yaml
             chromium chromium-driver python3-selenium python3-pytest nodejs)
  # Debian's npm, unless one came with another Node.js (NodeSource's has its own, and conflicts).
  command -v npm >/dev/null || packages+=(npm)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}" >&2
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq >&2
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}" >/dev/null
fi
# The browser tests check the console with axe-core, which Debian does not package: npm installs
# the version tests/veskctl/console/package.json pins.
if [ "${1:-}" != "--run" ]; then
  console_tests="$(dirname "$0")/../tests/veskctl/console"
  if [ ! -f "$console_tests/node_modules/axe-core/axe.min.js" ]; then
    echo "setup: installing axe-core with npm" >&2
    (cd "$console_tests" && npm install --no-audit --no-fund >&2)
  fi
fi
