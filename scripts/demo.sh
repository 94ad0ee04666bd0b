#!/usr/bin/env bash
# Makes a publisher's key pair, builds the updater with its public key (signed
# mode, in build-demo-signed/), serves a signed demo update on 127.0.0.1:8765
# with nginx, and runs the updater in a demo application folder that holds an
# older version.
# With a display the window is yours to press; without one it runs under Xvfb,
# presses the start button itself and saves screenshots.
# On a fresh two-core machine it takes about ten minutes, most of it installing
# packages and building; run again, about a minute.
set -euo pipefail
source "$(dirname "$0")/common.sh"

echo "The demo takes about ten minutes on a fresh two-core machine (packages, two builds), about a minute once built."
install_missing_packages
build_targets updater-publish

demo=$(mktemp -d /tmp/updater-demo.XXXXXX)
chmod 755 "$demo"
site=$demo/site
app=$demo/app
shots=${DEMO_SHOTS:-$demo}
mkdir -p "$site" "$demo/release" "$demo/keys" "$app/Update" "$shots"
pids=()
cleanup() {
  # nginx runs in the foreground (daemon off): its pid is among these, and
  # it takes its workers and its pid file with it.
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
}
trap cleanup EXIT

# The release: its files, published (and signed) with updater-publish, which
# writes the files, the release index and its signature, the GBK manifest and
# the stamp.
release=$demo/release
printf 'Client 2.0\r\nWhat is new: faster start-up.\r\n' > "$release/readme.txt"
head -c 6000000 /dev/urandom > "$release/client.dll"
head -c 3000000 /dev/urandom > "$release/data.pak"
printf '版本 2.0 的更新说明\r\n' | iconv -f UTF-8 -t GBK > "$release/更新说明.txt"
publisher=$BUILD_DIR/publish/updater-publish
"$publisher" keygen --public-key "$demo/keys/demo.pub" --secret-key "$demo/keys/demo.key" >/dev/null
"$publisher" release --from "$release" --site "$site" --version 2.0 --secret-key "$demo/keys/demo.key"

# The updater built with the publisher's public key.
signed_build=$UPDATER_ROOT/build-demo-signed
cmake -S "$UPDATER_ROOT" -B "$signed_build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DUPDATER_PUBLIC_KEY="$(sed -n 2p "$demo/keys/demo.pub")" >/dev/null
cmake --build "$signed_build" --parallel "$(nproc)" --target updater
chmod -R a+rX "$site"

# The installed, older version.
cp "$signed_build/app/updater" "$app/"
printf '1.0\r\n' > "$app/Update.inf"
printf 'Client 1.0\r\n' > "$app/readme.txt"

# nginx on loopback, slowed down so that the progress can be watched.
write_nginx_conf "$demo" "$site" 8765 'location /KVTA/ZE/files/ { limit_rate 3m; }'
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
  echo "Demo finished in ${SECONDS} s."
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

press_start
# The progress is on the screen once a good part of the release (9 MB at
# 3 MB/s) has arrived in the working folder: the window repaints within 16 ms.
for _ in $(seq 300); do
  [ "$(du -sb "$app/Update" | cut -f1)" -ge 3000000 ] && break
  sleep 0.05
done
[ "$(du -sb "$app/Update" | cut -f1)" -ge 3000000 ] || { echo "the download did not start" >&2; exit 1; }
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
cmp -s "$app/client.dll" "$release/client.dll" && cmp -s "$app/Update.inf" "$site/KVTA/ZE/UpdateNote.xml" \
  && cmp -s "$app/LoadUpdate.sha256.minisig" "$site/KVTA/ZE/LoadUpdate.sha256.minisig" \
  && echo "Signed demo update installed." || { echo "Demo update NOT installed" >&2; exit 1; }
echo "Demo finished in ${SECONDS} s."
