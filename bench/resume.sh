#!/usr/bin/env bash
# A run killed at half of a 30 MiB file, then the next run: how much of the
# file the second run takes from the server (nginx's access log, the bytes of
# each response's body). nginx paces the file at 8 MB/s so that the kill
# lands near half. Run after scripts/test.sh has built the project:
#   bench/resume.sh [turns] [build folder of an older version, for a before row]
set -euo pipefail
shopt -s inherit_errexit
source "$(dirname "$0")/../scripts/common.sh"
runs=${1:-3}
older=${2:-}
size=$((30 * 1024 * 1024))

work=$(mktemp -d /tmp/updater-resume.XXXXXX)
chmod 755 "$work"
port=$((20000 + RANDOM % 2000))
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/site/KVTA/ZE" "$work/site/data"
head -c "$size" /dev/urandom > "$work/site/data/mid.bin"
printf '2.0\r\n' > "$work/site/KVTA/ZE/UpdateNote.xml"
printf '0001data/mid.bin name mid.bin\r\n' > "$work/site/KVTA/ZE/LoadUpdate.inf"
chmod -R a+rX "$work/site"
write_nginx_conf "$work" "$work/site" "$port" "access_log $work/access.log; limit_rate 8m;"
nginx -c "$work/nginx.conf" -p "$work/nginx" &
pids+=($!)
for _ in $(seq 50); do curl -fs -o /dev/null "http://127.0.0.1:$port/KVTA/ZE/UpdateNote.xml" && break; sleep 0.1; done

# The body bytes of the last response for the file.
served() { awk '$7 == "/data/mid.bin" {n = $10} END {print n}' "$work/access.log"; }
# One turn: prints "KEPT SECOND_RUN_BYTES" or nothing when a run failed.
turn() { # runner
  rm -rf "$work/app"
  mkdir -p "$work/app/Update"
  printf '1.0\r\n' > "$work/app/Update.inf"
  QT_QPA_PLATFORM=offscreen "$1" "$work/app" "http://127.0.0.1:$port/" >/dev/null 2>&1 &
  local pid=$!
  while [ "$(stat -c %s "$work/app/Update/mid.bin" 2>/dev/null || echo 0)" -lt $((size / 2)) ]; do
    kill -0 "$pid" 2>/dev/null || { echo "the first run ended before half" >&2; return; }
    sleep 0.01
  done
  kill -KILL "$pid"
  wait "$pid" 2>/dev/null || true
  local kept
  kept=$(stat -c %s "$work/app/Update/mid.bin")
  QT_QPA_PLATFORM=offscreen "$1" "$work/app" "http://127.0.0.1:$port/" 2>/dev/null | grep -q '恭喜您' ||
    { echo "the second run failed" >&2; return; }
  cmp -s "$work/app/mid.bin" "$work/site/data/mid.bin" || { echo "the installed file differs" >&2; return; }
  echo "$kept $(served)"
}
rows() { # name, runner
  for _ in $(seq "$runs"); do turn "$2"; done |
    awk -v name="$1" -v size="$size" '{k += $1; s += $2; n++; if ($2 / size > worst) worst = $2 / size}
      END {if (n) printf "| %s | %d | %.1f %% | %.1f %% | %.1f %% |\n", name, n, k / n / size * 100,
        s / n / size * 100, worst * 100}'
}
echo "| Build | Turns | Kept after the kill (mean) | Second run's bytes of the file (mean) | Largest |"
echo "|---|---|---|---|---|"
[ -z "$older" ] || rows before "$older/bench/bench_run"
rows after "$BUILD_DIR/bench/bench_run"
