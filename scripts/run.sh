#!/usr/bin/env bash
# Installs what is missing, builds, and starts Voxendo on the current desktop.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VOXENDO_BUILD_DIR:-$root/build}
"$root/scripts/deps.sh" run
"$root/scripts/build.sh"
exec "$build/bin/voxendo" "$@"
