#!/usr/bin/env bash
# Builds Hoistly and runs every test headless. Usage: scripts/test.sh [build-dir]
# Widget tests use Qt's offscreen platform; the end-to-end test of the whole application runs
# in a virtual X display with its own session bus, so nothing reaches the user's desktop.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD="${1:-build}"
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD" -j "${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}"
export QT_QPA_PLATFORM=offscreen QTWEBENGINE_DISABLE_SANDBOX=1
# At most four test programs at once: several of them drive a real browser engine and real
# processes, and a machine loaded far beyond its cores stretches their waits past any margin.
jobs=$(nproc)
[ "$jobs" -gt 4 ] && jobs=4
run=(ctest --test-dir "$BUILD" --output-on-failure -j "$jobs")
if command -v xvfb-run >/dev/null && command -v dbus-run-session >/dev/null; then
  xvfb-run -a -s "-screen 0 1280x900x24" dbus-run-session -- "${run[@]}"
else
  "${run[@]}"
fi
