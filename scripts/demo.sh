#!/usr/bin/env bash
# Makes a publisher's key pair, builds the updater with its public key (signed
# mode, in build-demo-signed/), serves a signed demo update on 127.0.0.1:8765
# with nginx, and runs the updater in a demo application folder that holds an
# older version.
# With a display the window is yours to press; without one it runs under Xvfb,
# presses the start button itself and saves screenshots.
set -euo pipefail
source "$(dirname "$0")/common.sh"

install_missing_packages

demo=$(mktemp -d /tmp/updater-demo.XXXXXX)
chmod 755 "$demo"
site=$demo/site
app=$demo/app
shots=${DEMO_SHOTS:-$demo}
mkdir -p "$site/KVTA/ZE" "$site/files" "$app/Update" "$shots"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  [ -f "$demo/nginx.pid" ] && kill "$(cat "$demo/nginx.pid")" 2>/dev/null || true
}
trap cleanup EXIT

# The published version: a stamp, a GBK manifest and the files it lists.
printf '2.0\r\n' > "$site/KVTA/ZE/UpdateNote.xml"
printf 'Client 2.0\r\nWhat is new: faster start-up.\r\n' > "$site/files/readme.txt"
head -c 6000000 /dev/urandom > "$site/files/client.dll"
head -c 3000000 /dev/urandom > "$site/files/data.pak"
notes=$(printf '更新说明.txt' | iconv -f UTF-8 -t GBK)
printf '版本 2.0 的更新说明\r\n' | iconv -f UTF-8 -t GBK > "$site/files/$notes"
printf '0001files/readme.txt name readme.txt\r\n0001files/client.dll name client.dll\r\n0001files/data.pak name data.pak\r\n0001files/更新说明.txt name 更新说明.txt\r\n' \
  | iconv -f UTF-8 -t GBK > "$site/KVTA/ZE/LoadUpdate.inf"

# The publisher's key pair (without a password, for the demo only: a real
# secret key is made with a password and kept off the server), and the
# updater built with its public key.
minisign -G -W -p "$demo/publisher.pub" -s "$demo/publisher.key" >/dev/null
signed_build=$UPDATER_ROOT/build-demo-signed
cmake -S "$UPDATER_ROOT" -B "$signed_build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DUPDATER_PUBLIC_KEY="$(sed -n 2p "$demo/publisher.pub")" >/dev/null
cmake --build "$signed_build" --parallel "$(nproc)" --target updater

# Signing the release, in the server's root: the index of the stamp, the
# manifest and every remote path it lists, then its signature.
(
  cd "$site"
  { echo KVTA/ZE/UpdateNote.xml; echo KVTA/ZE/LoadUpdate.inf
    iconv -f GBK -t UTF-8 KVTA/ZE/LoadUpdate.inf | tr -d '\r' | sed 's/^....//; s/ name .*//' \
      | iconv -f UTF-8 -t GBK; } | tr '\n' '\0' | xargs -0 sha256sum > KVTA/ZE/LoadUpdate.sha256
  minisign -S -s "$demo/publisher.key" -m KVTA/ZE/LoadUpdate.sha256 >/dev/null
)
echo "Signed release index:"
iconv -f GBK -t UTF-8 "$site/KVTA/ZE/LoadUpdate.sha256"
chmod -R a+rX "$site"

# The installed, older version.
cp "$signed_build/app/updater" "$app/"
printf '1.0\r\n' > "$app/Update.inf"
printf 'Client 1.0\r\n' > "$app/readme.txt"

# nginx on loopback, slowed down so that the progress can be watched.
write_nginx_conf "$demo" "$site" 8765 'location /files/ { limit_rate 3m; }'
nginx -c "$demo/nginx.conf" -p "$demo/nginx" &
pids+=($!)
for _ in $(seq 50); do curl -fs -o /dev/null http://127.0.0.1:8765/KVTA/ZE/UpdateNote.xml && break; sleep 0.1; done
echo "Demo update server: http://127.0.0.1:8765/  (site: $site)"
echo "Demo application folder: $app"

show_installed() {
  echo "--- Application folder after the run:"
  (cd "$app" && ls -l --time-style=+ | tail -n +2)
  echo "--- Update.inf: $(tr -d '\r' < "$app/Update.inf")"
  echo "--- Working folder: $(ls -A "$app/Update" | wc -l) file(s) left"
  echo "--- Kept signature: $(sed -n 3p "$app/LoadUpdate.sha256.minisig" 2>/dev/null || echo none)"
}

if [ -n "${DISPLAY:-}" ] && [ -z "${CI:-}" ]; then
  "$app/updater"
  show_installed
  exit 0
fi

export DISPLAY=:$((90 + RANDOM % 9))
Xvfb "$DISPLAY" -screen 0 1024x640x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
sleep 1
export QT_QPA_PLATFORM=xcb
"$app/updater" 2>/dev/null &
updater=$!
pids+=($updater)

wait_for_window() {
  for _ in $(seq 100); do
    xdotool search --name "$1" 2>/dev/null | head -1 && return 0
    sleep 0.1
  done
  return 1
}
window=$(wait_for_window '系统更新')
sleep 0.5
eval "$(xdotool getwindowgeometry --shell "$window")"
# The start button's centre, in the window's pixels.
xdotool mousemove $((X + 332)) $((Y + 236)) click 1
sleep 2.5
import -window root "$shots/demo-progress.png"
echo "Screenshot of the download: $shots/demo-progress.png"

message=$(wait_for_window '系统提示') || { echo "no closing message appeared" >&2; exit 1; }
sleep 0.3
import -window root "$shots/demo-finished.png"
echo "Screenshot of the closing message: $shots/demo-finished.png"
xdotool windowfocus "$message" key Return
for _ in $(seq 50); do kill -0 "$updater" 2>/dev/null || break; sleep 0.1; done
kill -0 "$updater" 2>/dev/null && { echo "the updater did not end" >&2; exit 1; }
show_installed
cmp -s "$app/client.dll" "$site/files/client.dll" && cmp -s "$app/Update.inf" "$site/KVTA/ZE/UpdateNote.xml" \
  && cmp -s "$app/LoadUpdate.sha256.minisig" "$site/KVTA/ZE/LoadUpdate.sha256.minisig" \
  && echo "Signed demo update installed." || { echo "Demo update NOT installed" >&2; exit 1; }
