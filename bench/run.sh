#!/usr/bin/env bash
# Throughput, memory, scaling and event latencies of the updater against
# curl, on loopback.
# Run after scripts/test.sh has built the project: bench/run.sh [runs] [signed]
# Prints one table and writes it, with the machine's description and load, to
# bench/results.md. With "signed" it measures only whole runs of the 200 MiB
# file in signed and unsigned mode, in pairs, and prints that table.
set -euo pipefail
shopt -s inherit_errexit
source "$(dirname "$0")/../scripts/common.sh"
root=$UPDATER_ROOT
build=$BUILD_DIR
runs=${1:-5}
only=${2:-}
engine=$build/bench/bench_engine
runner=$build/bench/bench_run
for tool in "$engine" "$runner"; do
  [ -x "$tool" ] || { echo "missing $tool: run scripts/test.sh first" >&2; exit 1; }
done
for cmd in nginx curl Xvfb xdotool /usr/bin/time minisign sha256sum; do
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
printf '0001data/big.bin name big.bin\r\n' | publish big
ln -s ../data "$site/big/data"
# The same release signed, as a publisher signs it: the index made by
# sha256sum in the release's root, its signature by minisign.
minisign -G -W -p "$work/bench.pub" -s "$work/bench.key" >/dev/null
(cd "$site/big" && sha256sum KVTA/ZE/UpdateNote.xml KVTA/ZE/LoadUpdate.inf data/big.bin > KVTA/ZE/LoadUpdate.sha256)
minisign -S -s "$work/bench.key" -m "$site/big/KVTA/ZE/LoadUpdate.sha256" >/dev/null
public_key=$(sed -n 2p "$work/bench.pub")
[ -z "$only" ] && truncate -s $((1024 * 1024 * 1024)) "$site/data/huge.bin"
[ -z "$only" ] && for i in $(seq -f '%05g' 1 10000); do head -c 4096 /dev/urandom > "$site/small/$i.bin"; done
printf '0001data/huge.bin name huge.bin\r\n' | publish huge
ln -s ../data "$site/huge/data"
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
# Xvfb picks a free display itself: a number taken by another server would
# leave the runs on that server, or on none once it ends.
Xvfb -displayfd 3 -screen 0 1024x640x24 -nolisten tcp 3>"$work/display" >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.05; done
[ -s "$work/display" ] || { echo "Xvfb did not start" >&2; exit 1; }
export DISPLAY=:$(cat "$work/display")
for _ in $(seq 50); do curl -fs -o /dev/null "$base/big/KVTA/ZE/UpdateNote.xml" && break; sleep 0.1; done
sleep 0.5

# Median, minimum and maximum of the numbers on stdin.
stats() { sort -g | awk '{v[NR]=$1} END {m = (NR % 2) ? v[(NR+1)/2] : (v[NR/2] + v[NR/2+1]) / 2; printf "%.4f %.4f %.4f\n", m, v[1], v[NR]}'; }
# The median of each column of the lines on stdin.
column_medians() {
  awk '{for (i = 1; i <= NF; i++) v[i, NR] = $i; if (NF > n) n = NF}
    END {for (i = 1; i <= n; i++) {
      k = 0; for (r = 1; r <= NR; r++) c[++k] = v[i, r]
      for (a = 2; a <= k; a++) for (b = a; b > 1 && c[b-1] > c[b]; b--) {t = c[b]; c[b] = c[b-1]; c[b-1] = t}
      printf "%s%.3f", (i > 1 ? " " : ""), (k % 2) ? c[(k+1)/2] : (c[k/2] + c[k/2+1]) / 2
    } print ""}'
}
ms_between() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.3f\n", (b - a) * 1000}'; }

fresh_app() {
  rm -rf "$work/app"
  mkdir -p "$work/app/Update"
  printf '1.0\r\n' > "$work/app/Update.inf"
}
# Every tool writes a new file: removing the output of the run before is not
# part of any timing.
curl_big() { rm -f "$work/curl.bin"; curl -s -o "$work/curl.bin" -w '%{time_total}\n' "$base/data/big.bin"; }
# Only whole downloads and runs that end in success count; any other is told
# on stderr and left out.
engine_big() {
  rm -f "$work/engine.bin"
  { "$engine" download "$base/data/big.bin" "$work/engine.bin" || true; } |
    awk '$6 == 1 {print $2; next} {print "engine: not whole after " $2 " s" > "/dev/stderr"}'
}
success=恭喜您
run_one() { # folder [bench_run option]
  fresh_app
  QT_QPA_PLATFORM=xcb "$runner" "$work/app" "$base/$1/" ${2:+"$2"} 2>/dev/null |
    awk -v ok="$success" '/^seconds/ {m = $0; sub(/.* message /, "", m); if (index(m, ok) == 1) print $2; else print "run: " m " after " $2 " s" > "/dev/stderr"}'
}
# Timer lateness, posted-event latency and progress-bar gaps (each median,
# 99th percentile, maximum, in ms) during a whole run of 200 MiB.
latencies_one() {
  fresh_app
  QT_QPA_PLATFORM=xcb "$runner" "$work/app" "$base/big/" --latencies 2>/dev/null |
    awk -v ok="$success" '/^seconds/ {m = $0; sub(/.* message /, "", m); whole = index(m, ok) == 1; if (!whole) print "run: " m > "/dev/stderr"}
      /^latencies/ && whole {print $3, $4, $5, $7, $8, $9, $11, $12, $13}'
}
# A click on 取消 10 MiB into a 200 MiB download, by an xdotool started
# beforehand that takes its commands from a pipe: it presses the button, then
# releases it. Prints the milliseconds from handing over the release to the
# end of the process, then those of a round trip of one command through the
# same xdotool (its own share of the first figure).
cancel_one() {
  fresh_app
  local fifo=$work/cancel.fifo out word x y start ended trip status=0
  rm -f "$fifo"; mkfifo "$fifo"
  QT_QPA_PLATFORM=xcb "$runner" "$work/app" "$base/big/" --cancel >"$fifo" 2>/dev/null &
  local pid=$!
  exec {out}<"$fifo"
  coproc XDO { exec xdotool -; }
  local to=${XDO[1]} from=${XDO[0]} xdo=$XDO_PID
  echo getmouselocation >&"$to"; read -r _ <&"$from"
  read -r word x y <&"$out" || true
  [ "$word" = downloading ] || { echo "cancel: no download under way" >&2; exit 1; }
  echo "mousemove $x $y" >&"$to"; echo "mousedown 1" >&"$to"
  start=$EPOCHREALTIME
  echo getmouselocation >&"$to"; read -r _ <&"$from"
  trip=$(ms_between "$start" "$EPOCHREALTIME")
  start=$EPOCHREALTIME
  echo "mouseup 1" >&"$to"
  wait "$pid" || status=$?
  ended=$EPOCHREALTIME
  exec {to}>&-
  wait "$xdo" || true
  if [ "$status" -ne 0 ] || grep -q message <&"$out"; then
    echo "cancel: the run did not end by the click" >&2; exit 1
  fi
  exec {out}<&-
  echo "$(ms_between "$start" "$ended") $trip"
}
# Unsigned and signed one after the other, so that both meet the same load.
# A pair in which a run failed (the network stall that the move to libcurl
# mends) is measured again, at most `runs` extra times.
signed_pair() { echo "$(run_one big) $(run_one big "--public-key=$public_key")"; }
signed_table() {
  : > "$work/pairs"
  local tries=0
  while [ "$(wc -l < "$work/pairs")" -lt "$runs" ] && [ "$tries" -lt $((2 * runs)) ]; do
    tries=$((tries + 1))
    signed_pair | awk 'NF == 2 && $1 != "failed" && $2 != "failed"' >> "$work/pairs"
  done
  [ -s "$work/pairs" ] || { echo "no pair of runs succeeded" >&2; exit 1; }
  read -r uns_m uns_lo uns_hi < <(awk '{print $1}' "$work/pairs" | stats)
  read -r sig_m sig_lo sig_hi < <(awk '{print $2}' "$work/pairs" | stats)
  read -r rat_m rat_lo rat_hi < <(awk '{print $2 / $1}' "$work/pairs" | stats)
  printf '### Signed mode, one file of 200 MiB, whole runs (median of %d pairs, min–max; %d tried)\n\n' \
    "$(wc -l < "$work/pairs")" "$tries"
  echo "| Mode | Seconds | MB/s |"
  echo "|---|---|---|"
  awk -v m="$uns_m" -v l="$uns_lo" -v h="$uns_hi" 'BEGIN {printf "| unsigned | %.3f (%.3f–%.3f) | %.0f |\n", m, l, h, 209.7152 / m}'
  awk -v m="$sig_m" -v l="$sig_lo" -v h="$sig_hi" 'BEGIN {printf "| signed: SHA-256 while writing, index and signature verified | %.3f (%.3f–%.3f) | %.0f |\n", m, l, h, 209.7152 / m}'
  awk -v m="$rat_m" -v l="$rat_lo" -v h="$rat_hi" 'BEGIN {printf "\nSigned / unsigned, each pair: median %.3f (%.3f–%.3f); goal < 1.10.\n", m, l, h}'
}
if [ "$only" = signed ]; then
  echo "Measuring ($runs pairs) ..."
  signed_table
  exit 0
fi
curl_small() { # count
  rm -rf "$work/curl-small"; mkdir -p "$work/curl-small"
  /usr/bin/time -f '%e' curl -s -K "$work/urls-$1.txt" 2>&1 >/dev/null | tail -1
}
repeat() { for _ in $(seq "$runs"); do "$@"; done | stats; }

load_before=$(uptime | sed 's/.*load average: //')
echo "Measuring ($runs runs each) ..."
# The three take turns, so that a change of load on the machine falls on all
# of them alike.
for _ in $(seq "$runs"); do
  echo "curl $(curl_big)"
  echo "engine $(engine_big)"
  echo "run $(run_one big)"
done > "$work/big-seconds"
times_of() { awk -v t="$1" '$1 == t && NF == 2 {print $2}' "$work/big-seconds" | stats; }
read -r curl_m curl_lo curl_hi < <(times_of curl)
read -r eng_m eng_lo eng_hi < <(times_of engine)
read -r run_m run_lo run_hi < <(times_of run)

peak_kb() { /usr/bin/time -f 'PEAK %M' "$@" 2>&1 >/dev/null | awk '/^PEAK/ {print $2}'; }
eng_rss=$(peak_kb "$engine" download "$base/data/huge.bin" "$work/engine.bin")
rm -f "$work/engine.bin"
fresh_app
run_rss=$(QT_QPA_PLATFORM=xcb peak_kb "$runner" "$work/app" "$base/huge/")
rm -rf "$work/app"

declare -A small_m small_lo small_hi curl_small_m
for n in 100 1000 10000; do
  read -r small_m[$n] small_lo[$n] small_hi[$n] < <(repeat run_one "n$n")
  read -r curl_small_m[$n] _ _ < <(repeat curl_small "$n")
done

read -r timer_m timer_p99 timer_max posted_m posted_p99 posted_max bar_m bar_p99 bar_max \
  < <(for _ in $(seq "$runs"); do latencies_one; done | column_medians)
read -r cancel_ms xdotool_ms < <(for _ in $(seq "$runs"); do cancel_one; done | column_medians)

signed=$(signed_table)
read -r _ wall _ cpu _ < <("$engine" stampwait)
read -r _ yield_ns < <("$engine" yieldcost)
load_after=$(uptime | sed 's/.*load average: //')

mb=209.7152
blocks=409600
table=$(awk -v cm="$curl_m" -v cl="$curl_lo" -v ch="$curl_hi" -v em="$eng_m" -v el="$eng_lo" -v eh="$eng_hi" \
  -v rm="$run_m" -v rl="$run_lo" -v rh="$run_hi" -v mb="$mb" -v b="$blocks" -v runs="$runs" \
  -v erss="$eng_rss" -v rrss="$run_rss" -v wall="$wall" -v cpu="$cpu" -v yns="$yield_ns" \
  -v s1="${small_m[100]}" -v s1l="${small_lo[100]}" -v s1h="${small_hi[100]}" \
  -v s2="${small_m[1000]}" -v s2l="${small_lo[1000]}" -v s2h="${small_hi[1000]}" \
  -v s3="${small_m[10000]}" -v s3l="${small_lo[10000]}" -v s3h="${small_hi[10000]}" \
  -v c1="${curl_small_m[100]}" -v c2="${curl_small_m[1000]}" -v c3="${curl_small_m[10000]}" \
  -v tm="$timer_m" -v t99="$timer_p99" -v tx="$timer_max" -v pm="$posted_m" -v p99="$posted_p99" \
  -v px="$posted_max" -v bm="$bar_m" -v b99="$bar_p99" -v bx="$bar_max" -v cancel="$cancel_ms" -v xdo="$xdotool_ms" '
function row(name, m, lo, hi, goal) {
  printf "| %s | %.3f (%.3f–%.3f) | %.0f | %.2f | %.2f | %s |\n", name, m, lo, hi, mb / m, m * 1e6 / b, cm / m, goal
}
BEGIN {
  printf "### One file of 200 MiB (median of %d runs, min–max)\n\n", runs
  print "| What | Seconds | MB/s | µs per 512-byte block | Ratio to curl | Goal |"
  print "|---|---|---|---|---|---|"
  row("curl -o", cm, cl, ch, "reference")
  row("engine alone (DLFile, no window)", em, el, eh, "≥ 0.50")
  row("whole run, window under Xvfb", rm, rl, rh, "≥ 0.33")
  printf "\n### Peak memory, one file of 1 GiB\n\n"
  print "| What | Peak RSS | Goal |"
  print "|---|---|---|"
  printf "| engine alone | %.1f MiB | ≤ 64 MiB |\n", erss / 1024
  printf "| whole run, window under Xvfb | %.1f MiB | ≤ 64 MiB |\n", rrss / 1024
  printf "\n### Many files of 4 KiB, whole runs (median of %d runs, min–max)\n\n", runs
  print "| Files | Run seconds | ms per file | curl, one process: ms per file | Ratio of time per file to 100 files |"
  print "|---|---|---|---|---|"
  printf "| 100 | %.3f (%.3f–%.3f) | %.3f | %.3f | 1.00 |\n", s1, s1l, s1h, s1 * 10, c1 * 10
  printf "| 1,000 | %.3f (%.3f–%.3f) | %.3f | %.3f | %.2f |\n", s2, s2l, s2h, s2, c2, (s2 / 1000) / (s1 / 100)
  printf "| 10,000 | %.3f (%.3f–%.3f) | %.3f | %.3f | %.2f (goal ≤ 1.5) |\n", s3, s3l, s3h, s3 / 10, c3 / 10, (s3 / 10000) / (s1 / 100)
  printf "\n### Waiting 5 s for the stamp\n\n"
  print "| Wall seconds | CPU seconds | Share of one processor | Goal |"
  print "|---|---|---|---|"
  printf "| %.3f | %.4f | %.2f %% | < 5 %% |\n", wall, cpu, cpu / wall * 100
  printf "\n### Events during a whole run of 200 MiB, window under Xvfb (ms, median of %d runs)\n\n", runs
  print "| What | Median | 99th percentile | Worst |"
  print "|---|---|---|---|"
  printf "| lateness of a 2 ms timer | %.3f | %.3f | %.3f |\n", tm, t99, tx
  printf "| latency of an event posted from another thread | %.3f | %.3f | %.3f |\n", pm, p99, px
  printf "| gap between repaints of the progress bar | %.3f | %.3f | %.3f |\n", bm, b99, bx
  printf "\nA click on 取消 10 MiB into a 200 MiB download, by an xdotool already running, ends the process "
  printf "%.2f ms after the release is handed to xdotool (median of %d runs); ", cancel, runs
  printf "a round trip of one command through that xdotool takes %.2f ms.\n", xdo
  printf "\nOne yield costs %d ns here on average over a million in a row (the posted events every time, ", yns
  printf "a full pass of the event loop once a millisecond); a block takes three of them (two in the engine, one in the progress display).\n"
}')

machine="$(nproc) cores, $(awk -F': ' '/model name/ {print $2; exit}' /proc/cpuinfo), $(free -g | awk '/Mem:/ {print $2}') GiB; $(uname -sr); Qt $(dpkg-query -W -f='${Version}' libqt6core6 2>/dev/null || echo '?'); $(nginx -v 2>&1 | sed 's/.*: //'); $(curl --version | head -1 | cut -d' ' -f1-2)"
{
  echo "# Benchmark results"
  echo
  echo "Made by \`bench/run.sh\` on $(date -u +%Y-%m-%d): $machine."
  echo "nginx serves generated data on 127.0.0.1; the window runs under Xvfb."
  echo "Load average (1, 5, 15 min) at the start: $load_before; at the end: $load_after."
  echo
  echo "$table"
  echo
  echo "$signed"
} > "$root/bench/results.md"
echo
echo "$table"
echo
echo "$signed"
echo
echo "Written to $root/bench/results.md"
