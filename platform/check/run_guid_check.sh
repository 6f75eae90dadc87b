#!/usr/bin/env bash
# Runs the mingw-built guid_check.exe under Wine with a prefix of its own and
# exits with its status (0: every GUID of the seam equals the SDK's).
# Usage: platform/check/run_guid_check.sh [build/mingw]
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${1:-build/mingw}
exe="$build/platform/guid_check.exe"
[ -f "$exe" ] || { echo "run_guid_check: $exe not built (cmake --build --preset mingw)" >&2; exit 2; }
wine=/usr/lib/wine/wine64
[ -x "$wine" ] || wine=$(command -v wine64 || true)
[ -n "$wine" ] || { echo "run_guid_check: wine64 not found" >&2; exit 2; }
export WINEPREFIX="$PWD/build/wine-guid-check" WINEDEBUG=-all
mkdir -p "$WINEPREFIX"
# The first run creates the prefix and reports it on stderr; only the check speaks on stdout.
"$wine" "$exe" 2>/dev/null
