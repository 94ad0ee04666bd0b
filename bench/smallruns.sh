#!/usr/bin/env bash
# Whole runs of the libcrypto update in its smaller forms: every version of
# Debian's libcrypto.so.3 (libssl3) that the mirror offers, fetched now with
# apt-get download (never committed), published as signed releases by
# updater-publish, served by nginx on 127.0.0.1 and fetched by the window
# under Xvfb, straight from nginx and through bench/linkproxy.py (15 ms each
# way, 100 Mbit/s each direction).
# Run after the publisher and bench_run are built:
#   bench/smallruns.sh [turns, default 3]
# Prints, for each client and link, the bytes and requests of the run (from
# the run log), the whole-run seconds (median of the turns) and, on the
# emulated link, the goal 1.2 × (bytes ÷ link rate + one round trip per request).
set -euo pipefail
shopt -s inherit_errexit
source "$(dirname "$0")/../scripts/common.sh"
source "$(dirname "$0")/xvfb.sh"
publisher=$BUILD_DIR/publish/updater-publish
runner=$BUILD_DIR/bench/bench_run
runs=${1:-3}
for tool in "$publisher" "$runner"; do
  [ -x "$tool" ] || { echo "missing $tool: build the project first" >&2; exit 1; }
done
for cmd in apt-get apt-cache dpkg-deb nginx curl Xvfb python3; do
  command -v "$cmd" >/dev/null || { echo "missing $cmd" >&2; exit 1; }
done

work=$(mktemp -d /tmp/updater-smallruns.XXXXXX)
chmod 755 "$work"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
source "$(dirname "$0")/debian.sh"

echo "Fetched:"
fetch libssl3
releases=$(ls -d "$work"/libssl3/[0-9]* | wc -l)
[ "$releases" -ge 3 ] || { echo "need three versions of libssl3, the mirror offers $releases" >&2; exit 1; }
libcrypto() { find "$work/libssl3/$1" -name 'libcrypto.so.3' -type f; }

# Release n ships the n-th libcrypto.so.3 alone, as version 1.n, signed with
# an expiry (as a site that keeps its signature fresh); kept/n holds the
# index and signature that a client installing it keeps.
site=$work/site
mkdir -p "$site"
"$publisher" keygen --public-key "$work/key.pub" --secret-key "$work/key.key" >/dev/null 2>&1
public_key=$(sed -n 2p "$work/key.pub")
for n in $(seq 1 "$releases"); do
  mkdir -p "$work/release/$n"
  cp "$(libcrypto "$n")" "$work/release/$n/"
  "$publisher" release --from "$work/release/$n" --site "$site" --version "1.$n" --secret-key "$work/key.key" \
    --expires-in 30 >/dev/null 2>"$work/publish.log" || { cat "$work/publish.log" >&2; exit 1; }
  mkdir -p "$work/kept/$n"
  cp "$site/KVTA/ZE/LoadUpdate.sha256" "$site/KVTA/ZE/LoadUpdate.sha256.minisig" "$work/kept/$n/"
done
chmod -R a+rX "$site"

port=$((22000 + RANDOM % 2000))
proxy_port=$((port + 2000))
write_nginx_conf "$work" "$site" "$port"
nginx -c "$work/nginx.conf" -p "$work/nginx" &
pids+=($!)
python3 "$UPDATER_ROOT/bench/linkproxy.py" "$proxy_port" "$port" 15 100 &
pids+=($!)
start_xvfb "$work"
for _ in $(seq 50); do curl -fs -o /dev/null "http://127.0.0.1:$proxy_port/KVTA/ZE/UpdateNote.xml" && break; sleep 0.1; done

# A client folder: stamp STAMP and, when BACK is given, the libcrypto.so.3,
# index and signature of the release that many back from the newest; BACK
# "unknown" keeps the oldest release with a libcrypto.so.3 of no release.
client() { # stamp [back]
  rm -rf "$work/app"; sync
  mkdir -p "$work/app/Update"
  printf '%s\r\n' "$1" > "$work/app/Update.inf"
  if [ "${2:-}" = unknown ]; then
    cp "$work/kept/1"/* "$work/app/"
    { cat "$work/release/1/libcrypto.so.3"; echo changed; } > "$work/app/libcrypto.so.3"
  elif [ -n "${2:-}" ]; then
    cp "$work/release/$((releases - $2))/libcrypto.so.3" "$work/kept/$((releases - $2))"/* "$work/app/"
  fi
}
success=恭喜您
# One whole run; prints its seconds, or nothing (the message on stderr) when
# it did not end in success or installed another file than the newest.
run() { # base URL [--public-key=KEY]
  QT_QPA_PLATFORM=xcb "$runner" "$work/app" "$1" ${2:+"$2"} 2>/dev/null |
    awk -v ok="$success" '/^seconds/ {m = $0; sub(/.* message /, "", m)
      if (index(m, ok) == 1) print $2; else print "run: " m > "/dev/stderr"}' |
    { read -r seconds || return 0
      cmp -s "$work/app/libcrypto.so.3" "$work/release/$releases/libcrypto.so.3" && echo "$seconds" ||
        echo "run: the installed file is not the newest" >&2; }
}
# Requests and bytes of the last run, from its log.
traffic() {
  awk '/request / {++n; for (i = 1; i < NF; ++i) if ($i == "bytes") b += $(i + 1)} END {print n + 0, b + 0}' \
    "$work/app/Update.log"
}
median() { sort -g | awk '{v[NR] = $1} END {print NR ? ((NR % 2) ? v[(NR+1)/2] : (v[NR/2] + v[NR/2+1]) / 2) : "-"}'; }

plain_size=$(stat -c %s "$work/release/$releases/libcrypto.so.3")
key="--public-key=$public_key"
cases=(
  "compressed|signed, no installed file (stamp 1.0)|1.0||$key"
  "compressed|signed, an unknown libcrypto.so.3 (kept release 1.1)|1.1|unknown|$key"
  "patch-1|signed, one release back|1.$((releases - 1))|1|$key"
  "patch-2|signed, two releases back|1.$((releases - 2))|2|$key"
  "plain|unsigned on the same site, no installed file (stamp 1.0)|1.0||"
)
rows=()
for link in emulated loopback; do
  base=http://127.0.0.1:$([ "$link" = emulated ] && echo "$proxy_port" || echo "$port")/
  for entry in "${cases[@]}"; do
    IFS='|' read -r tag name stamp back option <<<"$entry"
    : > "$work/seconds"
    for _ in $(seq "$runs"); do
      client "$stamp" "$back"
      run "$base" "$option" >> "$work/seconds" || true
      traffic > "$work/traffic"
    done
    read -r requests bytes <"$work/traffic"
    rows+=("$link $tag $(median <"$work/seconds") $(wc -l <"$work/seconds") $requests $bytes|$name")
  done
done

echo
echo "libcrypto.so.3, release 1.$((releases - 1)) → 1.$releases, $plain_size bytes plain; whole runs, median of $runs"
echo
echo "| Link | Client | Form | Runs ok | Requests | Bytes | % of plain | Seconds | Goal 1.2 × (bytes ÷ 100 Mbit/s + 30 ms × requests) | Holds |"
echo "|---|---|---|---|---|---|---|---|---|---|"
for row in "${rows[@]}"; do
  read -r link tag seconds ok requests bytes <<<"${row%%|*}"
  awk -v link="$link" -v tag="$tag" -v s="$seconds" -v ok="$ok" -v r="$requests" -v b="$bytes" -v runs="$runs" \
    -v name="${row#*|}" -v plain="$plain_size" 'BEGIN {
    goal = 1.2 * (b * 8 / 100e6 + r * 0.030)
    printf "| %s | %s | %s | %d of %d | %d | %d | %.1f %% | %s | ", link, name, tag, ok, runs, r, b, 100 * b / plain, s
    if (link == "emulated") printf "%.3f | %s |\n", goal, (s == "-" ? "-" : (s <= goal ? "yes" : "no"))
    else print "– | – |"
  }'
done
echo
echo "Load average (1, 5, 15 min) at the end: $(awk '{print $1 ", " $2 ", " $3}' /proc/loadavg)."
