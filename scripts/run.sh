#!/usr/bin/env bash
# Builds Hoistly, installs the bundle into ~/Applications and launches it in the foreground.
# Without a configured service (HOISTLY_SERVICE_URL unset), a local photo-service double is
# started on 127.0.0.1 for the session (its state kept in ~/.local/share/Lumora-double) and
# the application is pointed at it. That trial runs in a profile of its own under the double's
# state folder (settings, data, logs, caches and the launch-at-login entry), so nothing of it
# reaches the user's real profile, and it installs no application-menu entry (one would start
# the application without the double). The command, and the double with it, stays until no copy
# of the application it started runs any more: log-out, reset and an update start a new copy
# and end the old one.
# A configured service (HOISTLY_SERVICE_URL, HOISTLY_API_KEY, HOISTLY_API_SECRET) is stored with the
# profile, readable by the user alone, so that the menu entry and the login item, which start the
# application without this environment, reach it too.
# HOISTLY_SKIP_SETUP=1 uses an existing build in $BUILD without installing packages or building;
# CMAKE_BUILD_PARALLEL_LEVEL sets the number of build jobs (default: one per processor).
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD="${BUILD:-build}"
if [ "${HOISTLY_SKIP_SETUP:-0}" != 1 ]; then
  ./scripts/install-deps.sh
  cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$BUILD" -j "${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}" --target Hoistly lumora-double
fi
APPS="${HOISTLY_APPLICATIONS:-$HOME/Applications}"
xml_text() { printf '%s' "$1" | sed -e 's/&/\&amp;/g' -e 's/</\&lt;/g' -e 's/>/\&gt;/g'; }
store_service() {
  local folder="${XDG_CONFIG_HOME:-$HOME/.config}/Lumora" tmp
  mkdir -p "$folder"
  tmp=$(mktemp "$folder/.Service.plist.XXXXXX") # made for the user alone
  printf '<?xml version="1.0" encoding="UTF-8"?>\n<plist version="1.0"><dict>
<key>ServiceURL</key><string>%s</string>
<key>APIKey</key><string>%s</string>
<key>APISecret</key><string>%s</string>
</dict></plist>\n' "$(xml_text "$HOISTLY_SERVICE_URL")" "$(xml_text "${HOISTLY_API_KEY:-}")" \
    "$(xml_text "${HOISTLY_API_SECRET:-}")" >"$tmp"
  mv "$tmp" "$folder/Service.plist"
}
menu_entry=()
if [ -n "${HOISTLY_SERVICE_URL:-}" ]; then store_service; else menu_entry=(--no-desktop-entry); fi
bundle=$(packaging/install-bundle.sh "$BUILD" "$APPS" "${menu_entry[@]}" | tail -n 1)
exe="$bundle/Contents/MacOS/Hoistly"

double_pid=""
cleanup() { [ -n "$double_pid" ] && kill "$double_pid" 2>/dev/null || true; }
trap cleanup EXIT
if [ -z "${HOISTLY_SERVICE_URL:-}" ]; then
  state="${XDG_DATA_HOME:-$HOME/.local/share}/Lumora-double"
  mkdir -p "$state"
  out=$(mktemp)
  "$BUILD/tests/double/lumora-double" --port "${HOISTLY_DOUBLE_PORT:-0}" --state-dir "$state" >"$out" &
  double_pid=$!
  port=""
  for _ in $(seq 100); do
    port=$(sed -n 's/^LISTENING \([0-9]*\)$/\1/p' "$out")
    [ -n "$port" ] && break
    sleep 0.1
  done
  [ -n "$port" ] || { echo "run: the local service did not start" >&2; exit 1; }
  export HOISTLY_SERVICE_URL="http://127.0.0.1:$port"
  export HOISTLY_API_KEY=5f1c0e2d9a7b4c3e8d6f0a1b2c3d4e5f HOISTLY_API_SECRET=9b8a7c6d5e4f3a2b
  # The trial's own profile: a sign-in at the double, its catalogue and its autostart entry
  # must never meet the real profile (at the next login that entry would start the app against
  # the production hosts).
  profile="$state/profile"
  mkdir -p "$profile/config" "$profile/data" "$profile/state" "$profile/cache"
  export XDG_CONFIG_HOME="$profile/config" XDG_DATA_HOME="$profile/data" \
         XDG_STATE_HOME="$profile/state" XDG_CACHE_HOME="$profile/cache"
  echo "Using the local photo service at $HOISTLY_SERVICE_URL (profile in $profile)"
fi
export QTWEBENGINE_DISABLE_SANDBOX="${QTWEBENGINE_DISABLE_SANDBOX:-$([ "$(id -u)" -eq 0 ] && echo 1 || echo 0)}"
# Every copy started from here, and every copy those start, inherits this mark.
mark="HOISTLY_RUN_SESSION=$$-$(date +%s%N)"
export "$mark"
copies() {
  local environ pid
  for environ in $(grep -lzxF -- "$mark" /proc/[0-9]*/environ 2>/dev/null); do
    pid=${environ#/proc/}
    pid=${pid%/environ}
    case "$(readlink "/proc/$pid/exe" 2>/dev/null)" in */Hoistly | */Hoistly\ \(deleted\)) echo "$pid" ;; esac
  done
}
# Ctrl+C or a termination of the command ends every copy it started, also those that a log-out
# or a reset started outside its process group, then the double: a copy left without its double
# could reach no service. A copy gets the time to quit as at a log-out, then is killed.
end_copies() {
  local pids waited
  pids=$(copies)
  [ -n "$pids" ] || return 0
  kill -TERM $pids 2>/dev/null || true
  for waited in $(seq 100); do
    [ -n "$(copies)" ] || return 0
    sleep 0.1
  done
  pids=$(copies)
  [ -z "$pids" ] || kill -KILL $pids 2>/dev/null || true
}
on_signal() {
  trap - INT TERM
  end_copies
  exit $((128 + $1))
}
trap 'on_signal 2' INT
trap 'on_signal 15' TERM
status=0
# Started in the background and waited for: a signal to the command alone is handled at once,
# not only after the first copy ends.
"$exe" "$@" &
wait $! || status=$?
while [ -n "$(copies)" ]; do sleep 1; done
exit "$status"
