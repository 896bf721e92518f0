#!/usr/bin/env bash
# Keeps the arrows between the layers one way: fails, naming the file and line, when a source file
# includes a header of a layer it may not use.
#
#   scripts/check-layers.sh [ROOT]    (ROOT: the checkout, by default the one this script is in)
#
# The library (include/ core/ device/ protocol/ diagnostics/ platform/ managed/ simulator/) never
# includes tools/. veskctl's rooms (docs/architecture.md) use the library's public headers,
# managed/, core/ and simulator/ (and platform/win32.h, the one seam to the system), and of each
# other only the rooms below them:
#   cli -> console -> monitor -> http, session -> journal -> base
set -euo pipefail
root=${1:-"$(cd "$(dirname "$0")/.." && pwd)"}
cd "$root"

# The rooms each room may use besides itself.
declare -A uses=(
  [base]=""
  [journal]="base"
  [session]="journal base"
  [http]="base"
  [monitor]="session http journal base"
  [console]="monitor session http journal base"
  [service]="console monitor session http journal base"
  [cli]="service console monitor session http journal base"
)
rooms="base journal session http monitor console service cli"
library_dirs=(include core device protocol diagnostics platform managed simulator)
# What tools/ may include of the library.
tool_may_use='^(vesk/|vesk_managed/|managed/|core/|simulator/|platform/win32\.h$)'
library_layer='^(include|core|device|protocol|diagnostics|platform|managed|simulator)/'

failures=0
fail() {
  echo "$1: $2" >&2
  failures=$((failures + 1))
}

# Every include of a source file as "FILE:LINE:HEADER".
includes() {
  grep -rnE --include='*.h' --include='*.cc' --include='*.cpp' --include='*.in' \
    '^[[:space:]]*#[[:space:]]*include[[:space:]]*["<][^">]+[">]' "$@" 2>/dev/null |
    sed -E 's/^([^:]+:[0-9]+):[[:space:]]*#[[:space:]]*include[[:space:]]*["<]([^">]+)[">].*/\1:\2/'
}

# Nothing below tools/ includes it.
existing=()
for dir in "${library_dirs[@]}"; do [ -d "$dir" ] && existing+=("$dir"); done
if [ ${#existing[@]} -gt 0 ]; then
  while IFS=: read -r file line header; do
    case $header in
      tools/*) fail "$file:$line" "the library may not include $header (tools/ sits above it)" ;;
    esac
  done < <(includes "${existing[@]}")
fi

# Every file of veskctl lives in a room, and includes only what its room may use.
if [ -d tools/veskctl ]; then
  while IFS= read -r file; do
    room=${file#tools/veskctl/}
    room=${room%%/*}
    [ -n "${uses[$room]+set}" ] ||
      fail "$file:1" "not in a room of veskctl ($rooms)"
  done < <(find tools/veskctl -mindepth 1 -type f \( -name '*.h' -o -name '*.cc' -o -name '*.in' \) |
           sort)
  while IFS=: read -r file line header; do
    room=${file#tools/veskctl/}
    room=${room%%/*}
    [ -n "${uses[$room]+set}" ] || continue  # said above
    if [[ $header == tools/veskctl/* ]]; then
      target=${header#tools/veskctl/}
      target=${target%%/*}
      [ "$target" = "$room" ] && continue
      allowed=" ${uses[$room]} "
      [[ $allowed == *" $target "* ]] ||
        fail "$file:$line" "the $room room may not include $header (it may use: ${uses[$room]:-no other room})"
    elif [[ $header == tools/* ]]; then
      fail "$file:$line" "veskctl may not include $header (another tool)"
    elif [[ $header =~ $library_layer || $header == device/* ]] ||
         [[ $header == */* && ! $header =~ ^(boost|CLI|nlohmann|prometheus|gtest|gmock|benchmark|sys|arpa|netinet)/ ]]; then
      [[ $header =~ $tool_may_use ]] ||
        fail "$file:$line" "veskctl may not include $header (it uses include/, managed/, core/, simulator/ and platform/win32.h of the library)"
    fi
  done < <(includes tools/veskctl)
fi

if [ "$failures" -gt 0 ]; then
  echo "check-layers: $failures include(s) against the layers (docs/architecture.md)" >&2
  exit 1
fi
echo "check-layers: every include keeps to its layer"
