#!/usr/bin/env bash
# Installs what is missing, builds, and starts Voxendo on the current desktop.
#
# Without VOXENDO_BACKEND_URL set, it also starts voxendo-devserver — the local development and
# demo stand-in for the Voxendo services (accounts, transcription with offline English
# recognition, an OpenAI stand-in) — and points Voxendo at it, so a whole dictation works on a
# fresh machine: create an account in the Account tab, press Alt+Space, speak, press again.
# The devserver stops when Voxendo exits. Its data lives in ~/.local/share/voxendo-devserver.
#
# To use the real hosted backend instead: VOXENDO_BACKEND_URL=https://api.voxendo.com scripts/run.sh
# Extra arguments go to voxendo.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VOXENDO_BUILD_DIR:-$root/build}
"$root/scripts/deps.sh" run
"$root/scripts/build.sh"

if [ -n "${VOXENDO_BACKEND_URL:-}" ]; then
  exec "$build/bin/voxendo" "$@"
fi

data=${VOXENDO_DEVSERVER_DATA:-${XDG_DATA_HOME:-$HOME/.local/share}/voxendo-devserver}
mkdir -p "$data"
log="$data/devserver.log"
# Accept a demo OpenAI key too, so the own-key route can be tried: enter it in Settings.
"$build/src/devserver/voxendo-devserver" --port 0 --data-dir "$data" --openai-key sk-voxendo-demo-key-0000 \
  >"$log" 2>&1 &
devserver=$!
trap 'kill "$devserver" 2>/dev/null; wait "$devserver" 2>/dev/null || true' EXIT

url=
for _ in $(seq 1 200); do
  url=$(head -n1 "$log" 2>/dev/null | grep -o '^https://[^ ]*' || true)
  [ -n "$url" ] && break
  kill -0 "$devserver" 2>/dev/null || { cat "$log" >&2; exit 1; }
  sleep 0.05
done
[ -n "$url" ] || { echo "voxendo-devserver did not start; see $log" >&2; exit 1; }
echo "Local Voxendo services (development and demo stand-in): $url  (log: $log)"
echo "Demo OpenAI key accepted by the stand-in: sk-voxendo-demo-key-0000"

VOXENDO_BACKEND_URL=$url VOXENDO_OPENAI_API_BASE=$url VOXENDO_EXTRA_CA_FILE=$data/ca.crt \
  "$build/bin/voxendo" "$@"
