#!/usr/bin/env bash
# Builds veskctl (installing what it needs first) and runs it with the given arguments, by
# default against the embedded simulated machine:  scripts/veskctl.sh show
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh" --run
build="$root/build/run"
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVESK_BUILD_TESTS=OFF >&2
fi
cmake --build "$build" --target veskctl >&2
exec "$build/tools/veskctl/veskctl" "$@"
