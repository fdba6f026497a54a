#!/usr/bin/env bash
# Runs one command inside a private, headless desktop session and tears it down afterwards:
#   - a fresh HOME and XDG_RUNTIME_DIR (settings, keyring and recordings never touch the real ones)
#   - a D-Bus session bus (dbus-run-session) with an unlocked GNOME Keyring (Secret Service)
#   - Xvfb with openbox (no key bindings, so Alt+Space is free), xcompmgr and a tray (trayer)
#   - PulseAudio with a null sink "vsink" and a virtual microphone "vmic" that hears it
#
# Usage: scripts/test-session.sh COMMAND [ARGS...]
# Exit status: the command's. Every process started here is stopped by its own PID, also when
# the command fails or the script is interrupted.
#
# Exported for the tests:
#   VOXENDO_TEST_SESSION=1, DISPLAY, VOXENDO_TEST_SINK=vsink, VOXENDO_TEST_SOURCE=vmic,
#   VOXENDO_TEST_KEYRING=1, VOXENDO_SESSION_DIR (scratch space, removed afterwards)
set -euo pipefail

if [ -z "${VOXENDO_SESSION_INNER:-}" ]; then
  [ $# -gt 0 ] || { echo "usage: $0 COMMAND [ARGS...]" >&2; exit 2; }
  tmp=$(mktemp -d /tmp/voxendo-session.XXXXXX)
  mkdir -p "$tmp/home" "$tmp/run"
  chmod 700 "$tmp/run"
  export HOME="$tmp/home" XDG_RUNTIME_DIR="$tmp/run"
  export XDG_CONFIG_HOME="$tmp/home/.config" XDG_DATA_HOME="$tmp/home/.local/share"
  export XDG_CACHE_HOME="$tmp/home/.cache"
  unset DISPLAY WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS PULSE_SERVER GNOME_KEYRING_CONTROL
  export VOXENDO_SESSION_INNER=1 VOXENDO_SESSION_DIR="$tmp"
  rc=0
  dbus-run-session -- "$0" "$@" || rc=$?
  if [ "$rc" -ne 0 ] && [ -s "$tmp/pa.log" ] && [ -n "${VOXENDO_SESSION_VERBOSE:-}" ]; then
    tail -n 20 "$tmp/pa.log" >&2
  fi
  rm -rf "$tmp"
  exit "$rc"
fi

# ---- inside the session bus ----
tmp=$VOXENDO_SESSION_DIR
pids=()
pulse_pid=

log() { echo "[test-session] $*" >&2; }

cleanup() {
  local i
  # Newest first, each waited for, so no client outlives the server it talks to.
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill "${pids[i]}" 2>/dev/null || true
    wait "${pids[i]}" 2>/dev/null || true
  done
}
trap cleanup EXIT
trap 'exit 130' INT TERM

wait_for() { # wait_for SECONDS DESCRIPTION COMMAND...
  local secs=$1 what=$2
  shift 2
  local deadline=$((SECONDS + secs))
  until "$@" >/dev/null 2>&1; do
    if [ $SECONDS -ge $deadline ]; then
      log "timed out waiting for $what"
      return 1
    fi
    sleep 0.05
  done
}

# 1. Secret Service. Started before DISPLAY exists so that it never shows an unlock prompt.
printf 'test' >"$tmp/keyring-password"
gnome-keyring-daemon --foreground --unlock --components=secrets \
  <"$tmp/keyring-password" >"$tmp/keyring.log" 2>&1 &
pids+=($!)
secrets_up() {
  dbus-send --session --print-reply --dest=org.freedesktop.DBus / org.freedesktop.DBus.ListNames |
    grep -q '"org.freedesktop.secrets"'
}
wait_for 30 "gnome-keyring" secrets_up
export VOXENDO_TEST_KEYRING=1

# 2. PulseAudio with a virtual microphone.
cat >"$tmp/session.pa" <<PA
load-module module-native-protocol-unix auth-anonymous=1
load-module module-null-sink sink_name=vsink rate=16000 channels=1 sink_properties=device.description=VirtualSpeaker
load-module module-remap-source master=vsink.monitor source_name=vmic source_properties=device.description=VirtualMic
set-default-sink vsink
set-default-source vmic
PA
pulseaudio --daemonize=no --exit-idle-time=-1 -n --file="$tmp/session.pa" \
  --log-target=file:"$tmp/pa.log" >/dev/null 2>&1 &
pulse_pid=$!
pids+=("$pulse_pid")
wait_for 30 "pulseaudio" pactl info
# Without a steady writer the idle null sink wakes only every ~2 s and first data comes late.
pacat --playback --raw --format=s16le --rate=16000 --channels=1 --latency-msec=20 -d vsink /dev/zero \
  >/dev/null 2>&1 &
pids+=($!)
mic_ready() {
  local n
  n=$(timeout 5 parec -d vmic --raw --format=s16le --rate=16000 --channels=1 --latency-msec=20 |
    head -c 1600 | wc -c) || true
  [ "$n" = 1600 ]
}
wait_for 30 "the virtual microphone" mic_ready
export VOXENDO_TEST_SINK=vsink VOXENDO_TEST_SOURCE=vmic

# 3. X11: Xvfb chooses a free display itself (abstract sockets make guessing collide).
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$tmp/display" >"$tmp/xvfb.log" 2>&1 &
pids+=($!)
wait_for 30 "Xvfb" test -s "$tmp/display"
export DISPLAY=":$(head -n1 "$tmp/display")"
wait_for 30 "the X display" xdpyinfo
# openbox without key bindings: its default binds Alt+Space, the default dictation shortcut.
sed '/<keyboard>/,/<\/keyboard>/c <keyboard></keyboard>' /etc/xdg/openbox/rc.xml >"$tmp/openbox-rc.xml"
wm_up() { xprop -root _NET_SUPPORTING_WM_CHECK | grep -q 'window id'; }
for attempt in 1 2 3; do
  openbox --sm-disable --config-file "$tmp/openbox-rc.xml" >>"$tmp/openbox.log" 2>&1 &
  wm_pid=$!
  pids+=("$wm_pid")
  wait_for 20 "openbox" wm_up && break
  log "openbox did not come up (attempt $attempt): $(tail -n 5 "$tmp/openbox.log")"
  kill "$wm_pid" 2>/dev/null || true
  [ "$attempt" = 3 ] && exit 1
done
xcompmgr >/dev/null 2>&1 &
pids+=($!)
trayer --edge top --align right --widthtype pixel --width 120 --height 28 --transparent false \
  >/dev/null 2>&1 &
pids+=($!)

export VOXENDO_TEST_SESSION=1
rc=0
"$@" || rc=$?
exit "$rc"
