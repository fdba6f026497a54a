#!/usr/bin/env bash
# Builds (when needed) and starts voxendo-devserver, the local development and demo stand-in for
# the Voxendo backend, its auth service and OpenAI's transcription API. Arguments go to the
# server: scripts/devserver.sh --help lists them. Not for production.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VOXENDO_BUILD_DIR:-$root/build}
"$root/scripts/deps.sh" run
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" -j "$(nproc)" --target voxendo-devserver >/dev/null
exec "$build/src/devserver/voxendo-devserver" "$@"
