#!/bin/sh
# scripts/check-layers.sh fails on an include planted against the layers, naming the file and
# line, and passes on the same tree without it. Runs on a copy of the sources.
#   planted_include_test.sh path/to/check-layers.sh
set -eu
check=$1
source_root=$(cd "$(dirname "$check")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
copy() {
  rm -rf "$work/tree"
  mkdir -p "$work/tree"
  for dir in include core device protocol diagnostics platform managed simulator tools; do
    cp -R "$source_root/$dir" "$work/tree/"
  done
}
# Runs the check on the copy: it must fail and say exactly `$1`.
expect_refused() {
  if bash "$check" "$work/tree" >"$work/out" 2>&1; then
    echo "FAILED: the check passed with $2"
    cat "$work/out"
    exit 1
  fi
  if ! grep -qxF "$1" "$work/out"; then
    echo "FAILED: with $2 the check did not say: $1"
    cat "$work/out"
    exit 1
  fi
}
# Puts `$2` as line 2 of the file `$1`.
plant() { sed -i "1a $2" "$work/tree/$1"; }

copy
bash "$check" "$work/tree" >"$work/out" 2>&1 || { echo "FAILED: the copy of the tree does not pass"; cat "$work/out"; exit 1; }

plant tools/veskctl/journal/Journal.cc '#include "tools/veskctl/cli/Commands.h"'
expect_refused "tools/veskctl/journal/Journal.cc:2: the journal room may not include tools/veskctl/cli/Commands.h (it may use: base)" \
  "the journal including the command line"

copy
plant tools/veskctl/session/Predict.h '#include "tools/veskctl/monitor/Monitor.h"'
expect_refused "tools/veskctl/session/Predict.h:2: the session room may not include tools/veskctl/monitor/Monitor.h (it may use: journal base)" \
  "the session including the monitor"

copy
plant core/Records.cc '#include "tools/veskctl/base/Names.h"'
expect_refused "core/Records.cc:2: the library may not include tools/veskctl/base/Names.h (tools/ sits above it)" \
  "the library including veskctl"

copy
plant tools/veskctl/cli/Render.cc '#include "device/DeviceHandle.h"'
expect_refused "tools/veskctl/cli/Render.cc:2: veskctl may not include device/DeviceHandle.h (it uses include/, managed/, core/, simulator/ and platform/win32.h of the library)" \
  "veskctl including the library's device layer"

copy
printf '#include "tools/veskctl/base/Names.h"\n' >"$work/tree/tools/veskctl/Stray.cc"
expect_refused "tools/veskctl/Stray.cc:1: not in a room of veskctl (base journal session http monitor console service cli)" \
  "a file outside every room"
echo "every planted include was refused"
