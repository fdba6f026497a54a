#!/usr/bin/env bash
# The latency budget of one dictation: builds, then runs bench_latency inside a private headless
# session (Xvfb + openbox, D-Bus, unlocked keyring, PulseAudio with a virtual microphone) against
# voxendo-devserver, and prints Markdown tables: Voxendo next to a parecord/ffmpeg/curl/xdotool
# script, per stage, median and p95. Takes about 8 minutes with the default long take.
#   scripts/bench-latency.sh [--takes N] [--long-seconds S] [--idle-seconds S] [--no-baseline]
# The machine's load shows in the figures; the script prints the load average before and after.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VOXENDO_BUILD_DIR:-$root/build}
"$root/scripts/deps.sh" test
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" -j "$(nproc)" --target bench_latency voxendo voxendo-devserver >/dev/null
exec "$root/scripts/test-session.sh" "$build/bench/bench_latency" "$@"
