#!/usr/bin/env bash
# Screenshots, under Xvfb, of the update window as a user meets it: after a
# success, up to date, a refused connection, a tamper refusal, a full disk,
# and during a retry countdown. A signed updater (built in build-window-states/)
# runs each time in a fresh application folder against nginx on loopback.
#   scripts/window-states.sh [OUT_DIR]     (default /tmp/updater-window-states)
# The full disk needs the right to mount a tmpfs (root); without it that
# screenshot is skipped.
set -euo pipefail
source "$(dirname "$0")/common.sh"
out=$(realpath -m "${1:-${TMPDIR:-/tmp}/updater-window-states}")
mkdir -p "$out"

install_missing_packages
build_targets updater-publish
publisher=$BUILD_DIR/publish/updater-publish

work=$(mktemp -d /tmp/updater-states.XXXXXX)
chmod 755 "$work"
pids=()
mounted=""
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  [ -n "$mounted" ] && umount -l "$mounted" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

port=$((20000 + RANDOM % 20000))
"$publisher" keygen --public-key "$work/key.pub" --secret-key "$work/key.key" >/dev/null
signed_build=$UPDATER_ROOT/build-window-states
cmake -S "$UPDATER_ROOT" -B "$signed_build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DUPDATER_PUBLIC_KEY="$(sed -n 2p "$work/key.pub")" -DUPDATER_BASE_URL="http://127.0.0.1:$port/" >/dev/null
cmake --build "$signed_build" --parallel "$(nproc)" --target updater

# Release 2.0: a readme, a script and 3 MB of data, signed.
mkdir -p "$work/release" "$work/site"
printf 'Client 2.0\r\n' > "$work/release/readme.txt"
printf '#!/bin/sh\necho tool 2.0\n' > "$work/release/tool.sh"
head -c 3000000 /dev/urandom > "$work/release/data.bin"
"$publisher" release --from "$work/release" --site "$work/site" --version 2.0 --secret-key "$work/key.key" >/dev/null
chmod -R a+rX "$work/site"

export DISPLAY=:$((90 + RANDOM % 9))
Xvfb "$DISPLAY" -screen 0 800x500x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
sleep 1
export QT_QPA_PLATFORM=xcb

nginx_pid=""
serve() { # ROOT [EXTRA]: nginx on the updater's port
  write_nginx_conf "$work/nginx-$1" "$1" "$port" "${2:-}"
  nginx -c "$work/nginx-$1/nginx.conf" -p "$work/nginx-$1/nginx" &
  nginx_pid=$!
  pids+=($nginx_pid)
  for _ in $(seq 50); do curl -s -o /dev/null "http://127.0.0.1:$port/" && return 0; sleep 0.1; done
}
stop_serving() { [ -n "$nginx_pid" ] && kill "$nginx_pid" && wait "$nginx_pid" 2>/dev/null || true; nginx_pid=""; }

new_app() { # FOLDER STAMP: an installed client at STAMP
  mkdir -p "$1/Update"
  cp "$signed_build/app/updater" "$1/"
  printf '%s\r\n' "$2" > "$1/Update.inf"
  printf 'Client %s\r\n' "$2" > "$1/readme.txt"
}

# Runs the updater of APP, presses its start button and, once a message (or,
# with a number, that many seconds) has come, saves the screen as NAME.png.
shoot() { # NAME APP [SECONDS]
  local name=$1 app=$2 updater
  "$app/updater" 2>/dev/null &
  updater=$!
  pids+=($updater)
  press_start
  if [ -n "${3:-}" ]; then
    sleep "$3"
  else
    wait_for_window '系统提示|客户端在线更新' >/dev/null || echo "$name: no message appeared" >&2
    sleep 0.5
  fi
  import -window root "$out/$name.png"
  kill "$updater" 2>/dev/null || true
  wait "$updater" 2>/dev/null || true
  echo "$name: $out/$name.png"
}

serve "$work/site"
new_app "$work/success" 1.0
shoot success "$work/success"
new_app "$work/uptodate" 2.0
shoot up-to-date "$work/uptodate"

# The script's stored file, changed after signing.
cp -a "$work/site" "$work/tampered"
stored=$(grep -rl 'tool 2.0' "$work/tampered/KVTA/ZE/files")
printf '#!/bin/sh\necho changed\n' > "$stored"
rm -rf "$work/tampered/KVTA/ZE/zst"
stop_serving
serve "$work/tampered"
new_app "$work/tamper" 1.0
shoot tamper-refusal "$work/tamper"

# A disk with room for the client and not for the release.
mkdir -p "$work/small"
if mount -t tmpfs -o size=$(( $(stat -c %s "$signed_build/app/updater") + 1000000 )) tmpfs "$work/small" 2>/dev/null; then
  mounted=$work/small
  stop_serving
  serve "$work/site"
  new_app "$work/small/app" 1.0
  shoot full-disk "$work/small/app"
else
  echo "full-disk: skipped, no right to mount a tmpfs" >&2
fi

stop_serving
serve "$work/site" 'location = /KVTA/ZE/UpdateNote.xml { add_header Retry-After 30 always; return 503; }'
new_app "$work/busy" 1.0
shoot retry-countdown "$work/busy" 3

stop_serving
new_app "$work/refused" 1.0
shoot refused-connection "$work/refused"
