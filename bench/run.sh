#!/usr/bin/env bash
# Throughput, memory and scaling of the updater against curl, on loopback,
# stalls over many whole runs and a link that drops.
# Run after scripts/test.sh has built the project:
#   bench/run.sh [runs] [build folder of an older version, for a before/after table]
# BENCH_PARTS picks sections (default: "throughput memory small stampwait stalls drop").
# Prints the tables and writes them, with the machine's description, to
# bench/results.md.
set -euo pipefail
source "$(dirname "$0")/../scripts/common.sh"
root=$UPDATER_ROOT
build=$BUILD_DIR
runs=${1:-5}
older=${2:-}
parts=${BENCH_PARTS:-throughput memory small stampwait stalls drop}
want() { [[ " $parts " == *" $1 "* ]]; }
stall_runs=${STALL_RUNS:-50}
engine=$build/bench/bench_engine
runner=$build/bench/bench_run
for tool in "$engine" "$runner"; do
  [ -x "$tool" ] || { echo "missing $tool: run scripts/test.sh first" >&2; exit 1; }
done
for cmd in nginx curl Xvfb /usr/bin/time; do
  command -v "$cmd" >/dev/null || { echo "missing $cmd: run scripts/test.sh first" >&2; exit 1; }
done

work=$(mktemp -d /tmp/updater-bench.XXXXXX)
chmod 755 "$work"
site=$work/site
port=$((18000 + RANDOM % 2000))
base=http://127.0.0.1:$port
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

echo "Generating data in $work ..."
publish() { # folder, manifest lines on stdin
  mkdir -p "$site/$1/KVTA/ZE"
  printf '2.0\r\n' > "$site/$1/KVTA/ZE/UpdateNote.xml"
  cat > "$site/$1/KVTA/ZE/LoadUpdate.inf"
}
mkdir -p "$site/data" "$site/small"
head -c $((200 * 1024 * 1024)) /dev/urandom > "$site/data/big.bin"
head -c $((50 * 1024 * 1024)) /dev/urandom > "$site/data/mid.bin"
truncate -s $((1024 * 1024 * 1024)) "$site/data/huge.bin"
for i in $(seq -f '%05g' 1 10000); do head -c 4096 /dev/urandom > "$site/small/$i.bin"; done
printf '0001data/big.bin name big.bin\r\n' | publish big
printf '0001data/huge.bin name huge.bin\r\n' | publish huge
printf '0001data/mid.bin name mid.bin\r\n' | publish mid
ln -s ../data "$site/big/data"
ln -s ../data "$site/huge/data"
ln -s ../data "$site/mid/data"
for n in 100 1000 10000; do
  seq -f '%05g' 1 "$n" | awk '{printf "0001f/%s.bin name %s.bin\r\n", $1, $1}' | publish "n$n"
  ln -s ../small "$site/n$n/f"
  seq -f '%05g' 1 "$n" | awk -v b="$base" -v o="$work/curl-small" \
    '{printf "url = \"%s/small/%s.bin\"\noutput = \"%s/%s.bin\"\n", b, $1, o, $1}' > "$work/urls-$n.txt"
done
chmod -R a+rX "$site"

write_nginx_conf "$work" "$site" "$port"
nginx -c "$work/nginx.conf" -p "$work/nginx" &
pids+=($!)
export DISPLAY=:$((50 + RANDOM % 30))
Xvfb "$DISPLAY" -screen 0 1024x640x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 50); do curl -fs -o /dev/null "$base/big/KVTA/ZE/UpdateNote.xml" && break; sleep 0.1; done
sleep 0.5

# Median, minimum and maximum of the numbers on stdin.
stats() { sort -g | awk '{v[NR]=$1} END {m = (NR % 2) ? v[(NR+1)/2] : (v[NR/2] + v[NR/2+1]) / 2; printf "%.4f %.4f %.4f\n", m, v[1], v[NR]}'; }

fresh_app() {
  rm -rf "$work/app"
  mkdir -p "$work/app/Update"
  printf '1.0\r\n' > "$work/app/Update.inf"
}
curl_big() { curl -s -o "$work/curl.bin" -w '%{time_total}\n' "$base/data/big.bin"; }
engine_big() { "$engine" download "$base/data/big.bin" "$work/engine.bin" | awk '{print $2}'; }
run_one() { # folder
  fresh_app
  QT_QPA_PLATFORM=xcb "$runner" "$work/app" "$base/$1/" 2>/dev/null | awk '/message/ {print $2}'
}
curl_small() { # count
  rm -rf "$work/curl-small"; mkdir -p "$work/curl-small"
  /usr/bin/time -f '%e' curl -s -K "$work/urls-$1.txt" 2>&1 >/dev/null | tail -1
}
repeat() { for _ in $(seq "$runs"); do "$@"; done | stats; }

run_with() { # runner, base URL of a release
  fresh_app
  QT_QPA_PLATFORM=xcb "$1" "$work/app" "$2" 2>/dev/null | awk '/message/ {print $2}'
}
table=""
add() { table+="$1"$'\n'; }
load() { awk '{print $1, $2, $3}' /proc/loadavg; }
mb=209.7152
blocks=409600

if want throughput; then
  echo "Throughput ($runs runs each) ..."
  load_before=$(load)
  read -r curl_m curl_lo curl_hi < <(repeat curl_big)
  read -r eng_m eng_lo eng_hi < <(repeat engine_big)
  read -r run_m run_lo run_hi < <(repeat run_one big)
  rows=""
  if [ -n "$older" ]; then
    old_engine_big() { "$older/bench/bench_engine" download "$base/data/big.bin" "$work/engine.bin" | awk '{print $2}'; }
    read -r oeng_m oeng_lo oeng_hi < <(repeat old_engine_big)
    read -r orun_m orun_lo orun_hi < <(repeat run_with "$older/bench/bench_run" "$base/big/")
    rows="engine alone, before|$oeng_m|$oeng_lo|$oeng_hi|≥ 0.50;whole run, before|$orun_m|$orun_lo|$orun_hi|≥ 0.33;"
  fi
  rows+="engine alone (DLFile, no window)|$eng_m|$eng_lo|$eng_hi|≥ 0.50;whole run, window under Xvfb|$run_m|$run_lo|$run_hi|≥ 0.33"
  add "$(awk -v cm="$curl_m" -v cl="$curl_lo" -v ch="$curl_hi" -v mb="$mb" -v b="$blocks" -v runs="$runs" \
    -v rows="$rows" -v load="$load_before" -v older="$older" '
function row(name, m, lo, hi, goal) {
  printf "| %s | %.3f (%.3f–%.3f) | %.0f | %.2f | %.2f | %s |\n", name, m, lo, hi, mb / m, m * 1e6 / b, cm / m, goal
}
BEGIN {
  printf "### One file of 200 MiB (median of %d runs, min–max; load average before: %s)\n\n", runs, load
  if (older != "") print "\"Before\" is the older build named on the command line, measured in the same run.\n"
  print "| What | Seconds | MB/s | µs per 512-byte block | Ratio to curl | Goal |"
  print "|---|---|---|---|---|---|"
  row("curl -o", cm, cl, ch, "reference")
  n = split(rows, r, ";")
  for (i = 1; i <= n; ++i) { split(r[i], f, "|"); row(f[1], f[2], f[3], f[4], f[5]) }
}')"
fi

if want memory; then
  echo "Peak memory ..."
  peak_kb() { /usr/bin/time -f 'PEAK %M' "$@" 2>&1 >/dev/null | awk '/^PEAK/ {print $2}'; }
  eng_rss=$(peak_kb "$engine" download "$base/data/huge.bin" "$work/engine.bin")
  rm -f "$work/engine.bin"
  fresh_app
  run_rss=$(QT_QPA_PLATFORM=xcb peak_kb "$runner" "$work/app" "$base/huge/")
  rm -rf "$work/app"
  add "$(awk -v erss="$eng_rss" -v rrss="$run_rss" 'BEGIN {
  printf "\n### Peak memory, one file of 1 GiB\n\n"
  print "| What | Peak RSS | Goal |"
  print "|---|---|---|"
  printf "| engine alone | %.1f MiB | ≤ 64 MiB |\n", erss / 1024
  printf "| whole run, window under Xvfb | %.1f MiB | ≤ 64 MiB |\n", rrss / 1024
}')"
fi

if want small; then
  echo "Many small files ..."
  declare -A small_m small_lo small_hi curl_small_m
  for n in 100 1000 10000; do
    read -r small_m[$n] small_lo[$n] small_hi[$n] < <(repeat run_one "n$n")
    read -r curl_small_m[$n] _ _ < <(repeat curl_small "$n")
  done
  add "$(awk -v runs="$runs" \
    -v s1="${small_m[100]}" -v s1l="${small_lo[100]}" -v s1h="${small_hi[100]}" \
    -v s2="${small_m[1000]}" -v s2l="${small_lo[1000]}" -v s2h="${small_hi[1000]}" \
    -v s3="${small_m[10000]}" -v s3l="${small_lo[10000]}" -v s3h="${small_hi[10000]}" \
    -v c1="${curl_small_m[100]}" -v c2="${curl_small_m[1000]}" -v c3="${curl_small_m[10000]}" 'BEGIN {
  printf "\n### Many files of 4 KiB, whole runs (median of %d runs, min–max)\n\n", runs
  print "| Files | Run seconds | ms per file | curl, one process: ms per file | Ratio of time per file to 100 files |"
  print "|---|---|---|---|---|"
  printf "| 100 | %.3f (%.3f–%.3f) | %.3f | %.3f | 1.00 |\n", s1, s1l, s1h, s1 * 10, c1 * 10
  printf "| 1,000 | %.3f (%.3f–%.3f) | %.3f | %.3f | %.2f |\n", s2, s2l, s2h, s2, c2, (s2 / 1000) / (s1 / 100)
  printf "| 10,000 | %.3f (%.3f–%.3f) | %.3f | %.3f | %.2f (goal ≤ 1.5) |\n", s3, s3l, s3h, s3 / 10, c3 / 10, (s3 / 10000) / (s1 / 100)
}')"
fi

if want stampwait; then
  read -r _ wall _ cpu _ < <("$engine" stampwait)
  read -r _ yield_ns < <("$engine" yieldcost)
  add "$(awk -v wall="$wall" -v cpu="$cpu" -v yns="$yield_ns" 'BEGIN {
  printf "\n### Waiting 5 s for the stamp\n\n"
  print "| Wall seconds | CPU seconds | Share of one processor | Goal |"
  print "|---|---|---|---|"
  printf "| %.3f | %.4f | %.2f %% | < 5 %% |\n", wall, cpu, cpu / wall * 100
  printf "\nOne yield with nothing pending (one poll of the event loop for new events) costs %d ns here; ", yns
  printf "a block takes three of them (two in the engine, one in the progress display).\n"
}')"
fi

# Every whole run of the 200 MiB file should take about as long as the others.
if want stalls; then
  echo "Stalls: $stall_runs whole runs of 200 MiB ..."
  load_before=$(load)
  for _ in $(seq "$stall_runs"); do run_one big; done > "$work/stalls.txt"
  read -r curl_now _ _ < <(repeat curl_big)
  add "$(sort -g "$work/stalls.txt" | awk -v n="$stall_runs" -v load="$load_before" -v cm="$curl_now" '
{ v[NR] = $1 }
END {
  m = (NR % 2) ? v[(NR+1)/2] : (v[NR/2] + v[NR/2+1]) / 2
  over = 0; for (i = 1; i <= NR; ++i) if (v[i] > 3 * m) ++over
  printf "\n### Stalls: %d whole runs of the 200 MiB file (load average before: %s)\n\n", n, load
  print "| Runs ended | Median s | Slowest s | Runs over 3× the median | Goal | curl -o in the same run, s |"
  print "|---|---|---|---|---|---|"
  printf "| %d | %.3f | %.3f | %d | 0 | %.3f |\n", NR, m, v[NR], over, cm
}')"
fi

# A 50 MiB file through a proxy that resets the connection every 5 MiB.
if want drop; then
  echo "A link that drops every 5 MiB ..."
  proxy_port=$((port + 1))
  python3 "$root/bench/dropproxy.py" "$proxy_port" "$port" $((5 * 1024 * 1024)) &
  pids+=($!)
  for _ in $(seq 50); do curl -s -o /dev/null "http://127.0.0.1:$proxy_port/mid/KVTA/ZE/UpdateNote.xml" && break; sleep 0.1; done
  load_before=$(load)
  curl_mid() { curl -s -o "$work/curl.bin" -w '%{time_total}\n' "$base/data/mid.bin"; }
  curl_mid_resumed() { # curl resuming by hand after every drop, as a reference
    rm -f "$work/curl.bin"; local start=$(date +%s.%N)
    until curl -s -C - -o "$work/curl.bin" "http://127.0.0.1:$proxy_port/data/mid.bin"; do :; done
    awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN {printf "%.4f\n", b - a}' 
  }
  read -r plain_m _ _ < <(repeat run_one mid)
  read -r drop_m drop_lo drop_hi < <(repeat run_with "$runner" "http://127.0.0.1:$proxy_port/mid/")
  read -r curl_m2 _ _ < <(repeat curl_mid)
  read -r curl_d _ _ < <(repeat curl_mid_resumed)
  whole=$(cmp -s "$work/app/mid.bin" "$site/data/mid.bin" 2>/dev/null && echo yes || echo no)
  older_ending="not measured (no older build named)"
  if [ -n "$older" ]; then
    fresh_app
    older_ending=$(QT_QPA_PLATFORM=xcb "$older/bench/bench_run" "$work/app" "http://127.0.0.1:$proxy_port/mid/" 2>/dev/null \
      | awk '/message/ {printf "after %.3f s: %s", $2, substr($0, index($0, "message ") + 8)}')
  fi
  add "$(awk -v p="$plain_m" -v d="$drop_m" -v dl="$drop_lo" -v dh="$drop_hi" -v c="$curl_m2" -v cd="$curl_d" \
    -v runs="$runs" -v load="$load_before" -v whole="$whole" -v older="$older_ending" 'BEGIN {
  printf "\n### A link that drops: 50 MiB, a reset every 5 MiB (median of %d runs; load average before: %s)\n\n", runs, load
  print "| What | Seconds | Ratio to the undisturbed run | Goal |"
  print "|---|---|---|---|"
  printf "| whole run, undisturbed | %.3f | 1.00 | |\n", p
  printf "| whole run, a reset every 5 MiB, resumed (installed file identical: %s) | %.3f (%.3f–%.3f) | %.2f | ≤ 1.5 (no waits: a body that was flowing resumes at once) |\n", whole, d, dl, dh, d / p
  printf "| curl -o, undisturbed | %.3f | | reference |\n", c
  printf "| curl -C - in a loop, a reset every 5 MiB | %.3f | | reference |\n", cd
  printf "\nThe older build through the same proxy ended %s\n", older

}')"
fi
machine="$(nproc) cores, $(awk -F': ' '/model name/ {print $2; exit}' /proc/cpuinfo), $(free -g | awk '/Mem:/ {print $2}') GiB; $(uname -sr); Qt $(dpkg-query -W -f='${Version}' libqt6core6 2>/dev/null || echo '?'); $(nginx -v 2>&1 | sed 's/.*: //'); $(curl --version | head -1 | cut -d' ' -f1-2)"
{
  echo "# Benchmark results"
  echo
  echo "Made by \`bench/run.sh\` on $(date -u +%Y-%m-%d): $machine."
  echo "nginx serves generated data on 127.0.0.1; the window runs under Xvfb."
  echo
  echo "$table"
} > "$root/bench/results.md"
echo
echo "$table"
echo
echo "Written to $root/bench/results.md"
