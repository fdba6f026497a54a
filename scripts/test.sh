#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test inside a private headless session
# (Xvfb + window manager, D-Bus, unlocked GNOME Keyring, PulseAudio with a virtual microphone).
# Extra arguments go to ctest, e.g. scripts/test.sh -R whisper -V
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VOXENDO_BUILD_DIR:-$root/build}
"$root/scripts/deps.sh" test
"$root/scripts/build.sh"
cd "$build"
exec "$root/scripts/test-session.sh" ctest --output-on-failure --timeout 300 "$@"
