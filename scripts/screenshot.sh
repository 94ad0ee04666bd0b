#!/usr/bin/env bash
# Renders the update window under Xvfb to a PNG: scripts/screenshot.sh [out.png]
# Without an argument the PNG goes outside the repository, into /tmp.
set -euo pipefail
source "$(dirname "$0")/common.sh"
out=$(realpath -m "${1:-${TMPDIR:-/tmp}/updater-window.png}")
mkdir -p "$(dirname "$out")"

[ -x "$BUILD_DIR/app/updater" ] || { install_missing_packages; build_targets updater; }

display=:$((90 + RANDOM % 9))
Xvfb "$display" -screen 0 800x500x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
app=$(mktemp -d)
trap 'kill "${updater:-}" "$xvfb" 2>/dev/null || true; rm -rf "$app"' EXIT
sleep 1

cp "$BUILD_DIR/app/updater" "$app/"
DISPLAY=$display QT_QPA_PLATFORM=xcb "$app/updater" &
updater=$!
for _ in $(seq 50); do
  DISPLAY=$display xdotool search --name '系统更新' >/dev/null 2>&1 && break
  sleep 0.1
done
sleep 0.5
window=$(DISPLAY=$display xdotool search --name '系统更新' | head -1)
DISPLAY=$display import -window "$window" "$out"
echo "Screenshot of the window: $out"
