#!/usr/bin/env bash
# Throughput, memory, scaling and event latencies of the updater against
# curl on loopback, signed beside unsigned runs, stalls over many whole runs
# and a link that drops.
# Run after scripts/test.sh has built the project:
#   bench/run.sh [runs] [build folder of an older version, for before/after rows]
# BENCH_BEFORE_NAME describes the older build in the tables.
# BENCH_PARTS picks sections (default, all of them: "throughput memory small
# stampwait latencies cancel signed stalls drop"); STALL_RUNS sets the number
# of whole runs of the stall section (default 50).
# Prints the tables. A run of every section also writes them, with the
# machine's description and the load, to bench/results.md; BENCH_RESULTS=FILE
# writes a partial run's tables there.
set -euo pipefail
shopt -s inherit_errexit
source "$(dirname "$0")/../scripts/common.sh"
root=$UPDATER_ROOT
build=$BUILD_DIR
runs=${1:-5}
older=${2:-}
all_parts="throughput memory small stampwait latencies cancel signed stalls drop"
parts=${BENCH_PARTS:-$all_parts}
want() { [[ " $parts " == *" $1 "* ]]; }
results=${BENCH_RESULTS:-}
[ "$parts" = "$all_parts" ] && results=${results:-$root/bench/results.md}
stall_runs=${STALL_RUNS:-50}

engine=$build/bench/bench_engine
runner=$build/bench/bench_run
tools=("$engine" "$runner" "$build/bench/bench_sha256")
[ -n "$older" ] && tools+=("$older/bench/bench_engine" "$older/bench/bench_run")
for tool in "${tools[@]}"; do
  [ -x "$tool" ] || { echo "missing $tool: run scripts/test.sh first" >&2; exit 1; }
done
for cmd in nginx curl Xvfb xdotool /usr/bin/time minisign sha256sum python3; do
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
release_of() { # name: a release of the one file data/NAME.bin
  printf '0001data/%s.bin name %s.bin\r\n' "$1" "$1" | publish "$1"
  ln -s ../data "$site/$1/data"
}
mkdir -p "$site/data" "$site/small"
head -c $((200 * 1024 * 1024)) /dev/urandom > "$site/data/big.bin"
release_of big
if want memory; then
  truncate -s $((1024 * 1024 * 1024)) "$site/data/huge.bin"
  release_of huge
fi
if want drop; then
  head -c $((50 * 1024 * 1024)) /dev/urandom > "$site/data/mid.bin"
  release_of mid
fi
if want signed; then
  # The 200 MiB release signed, as a publisher signs it: the index made by
  # sha256sum in the release's root, its signature by minisign.
  minisign -G -W -p "$work/bench.pub" -s "$work/bench.key" >/dev/null
  (cd "$site/big" && sha256sum KVTA/ZE/UpdateNote.xml KVTA/ZE/LoadUpdate.inf data/big.bin > KVTA/ZE/LoadUpdate.sha256)
  minisign -S -s "$work/bench.key" -m "$site/big/KVTA/ZE/LoadUpdate.sha256" >/dev/null
  public_key=$(sed -n 2p "$work/bench.pub")
fi
if want small; then
  for i in $(seq -f '%05g' 1 10000); do head -c 4096 /dev/urandom > "$site/small/$i.bin"; done
  for n in 100 1000 10000; do
    seq -f '%05g' 1 "$n" | awk '{printf "0001f/%s.bin name %s.bin\r\n", $1, $1}' | publish "n$n"
    ln -s ../small "$site/n$n/f"
    seq -f '%05g' 1 "$n" | awk -v b="$base" -v o="$work/curl-small" \
      '{printf "url = \"%s/small/%s.bin\"\noutput = \"%s/%s.bin\"\n", b, $1, o, $1}' > "$work/urls-$n.txt"
  done
fi
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
DISPLAY=:$(cat "$work/display")
export DISPLAY
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
# Median, minimum and maximum of the second column of the lines of FILE whose
# first column is TAG.
times_of() { awk -v t="$2" '$1 == t && NF == 2 {print $2}' "$1" | stats; }
repeat() { for _ in $(seq "$runs"); do "$@"; done | stats; }
ms_between() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.3f\n", (b - a) * 1000}'; }
load() { awk '{print $1 ", " $2 ", " $3}' /proc/loadavg; }

# Every tool starts with nothing of an earlier one left to write back: the
# updater makes its installation durable (syncfs), which would otherwise also
# wait for the files that the tools before it wrote. Removing the output of
# the run before is no part of any timing either.
settle() { rm -rf "$@"; sync; }
fresh_app() {
  settle "$work/app"
  mkdir -p "$work/app/Update"
  printf '1.0\r\n' > "$work/app/Update.inf"
}
curl_get() { # URL path
  settle "$work/curl.bin"
  curl -s -o "$work/curl.bin" -w '%{time_total}\n' "$base/$1"
}
# Only whole downloads and runs that end in success count; any other is told
# on stderr and left out.
engine_big() { # engine
  settle "$work/engine.bin"
  { "$1" download "$base/data/big.bin" "$work/engine.bin" || true; } |
    awk '$6 == 1 {print $2; next} {print "engine: not whole after " $2 " s" > "/dev/stderr"}'
}
success=恭喜您
# One whole run, the window under Xvfb. Prints "ok SECONDS LONGEST_STALL_MS"
# (the longest time the window's event loop did not run; "-" from a build
# that does not measure it) or, for a run that ended with another message,
# "failed SECONDS -" and the message on stderr.
run_with() { # runner, base URL of a release [bench_run option]
  fresh_app
  QT_QPA_PLATFORM=xcb "$1" "$work/app" "$2" ${3:+"$3"} 2>/dev/null |
    awk -v ok="$success" '/^seconds/ {m = $0; sub(/.* message /, "", m)
      if (index(m, ok) == 1) {print "ok", $2, ($3 == "longest-stall-ms" ? $4 : "-"); next}
      print "failed", $2, "-"; print "run: " m " after " $2 " s" > "/dev/stderr"}'
}
ok_seconds() { awk '$1 == "ok" {print $2}'; }
run_one() { run_with "$runner" "$base/$1/" ${2:+"$2"} | ok_seconds; } # folder [bench_run option]

table=""
add() { table+="$1"$'\n'; }
# Ends a section with the load average before it and now.
add_load() { add $'\n'"Load average (1, 5, 15 min) before: $1; after: $(load)."; }
mb=209.7152
blocks=409600
older_name=${BENCH_BEFORE_NAME:-$older}
load_start=$(load)

if want throughput; then
  echo "Throughput ($runs runs each) ..."
  section_load=$(load)
  # The tools take turns, so that a change of load on the machine falls on
  # all of them alike.
  for _ in $(seq "$runs"); do
    echo "curl $(curl_get data/big.bin)"
    echo "engine $(engine_big "$engine")"
    echo "run $(run_one big)"
    if [ -n "$older" ]; then
      echo "engine-before $(engine_big "$older/bench/bench_engine")"
      echo "run-before $(run_with "$older/bench/bench_run" "$base/big/" | ok_seconds)"
    fi
  done > "$work/big-seconds"
  read -r curl_m curl_lo curl_hi < <(times_of "$work/big-seconds" curl)
  rows=""
  if [ -n "$older" ]; then
    rows+="engine alone, before|$(times_of "$work/big-seconds" engine-before | tr ' ' '|')|≥ 0.50;"
    rows+="whole run, before|$(times_of "$work/big-seconds" run-before | tr ' ' '|')|≥ 0.33;"
  fi
  rows+="engine alone (DLFile, no window)|$(times_of "$work/big-seconds" engine | tr ' ' '|')|≥ 0.50;"
  rows+="whole run, window under Xvfb|$(times_of "$work/big-seconds" run | tr ' ' '|')|≥ 0.33"
  add "$(awk -v cm="$curl_m" -v cl="$curl_lo" -v ch="$curl_hi" -v mb="$mb" -v b="$blocks" -v runs="$runs" \
    -v rows="$rows" -v older="${older:+$older_name}" '
function row(name, m, lo, hi, goal) {
  if (m <= 0) { printf "| %s | no successful run | | | | %s |\n", name, goal; return }
  printf "| %s | %.3f (%.3f–%.3f) | %.0f | %.2f | %.2f | %s |\n", name, m, lo, hi, mb / m, m * 1e6 / b, cm / m, goal
}
BEGIN {
  printf "### One file of 200 MiB (median of %d runs, min–max; the tools take turns)\n\n", runs
  if (older != "") printf "\"Before\" is the older build, %s, measured in the same turns.\n\n", older
  print "| What | Seconds | MB/s | µs per 512-byte block | Ratio to curl | Goal |"
  print "|---|---|---|---|---|---|"
  row("curl -o", cm, cl, ch, "reference")
  n = split(rows, r, ";")
  for (i = 1; i <= n; ++i) { split(r[i], f, "|"); row(f[1], f[2], f[3], f[4], f[5]) }
}')"
  add_load "$section_load"
fi

if want memory; then
  echo "Peak memory ..."
  section_load=$(load)
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
  add_load "$section_load"
fi

if want small; then
  echo "Many small files ..."
  section_load=$(load)
  curl_small() { # count
    settle "$work/curl-small"; mkdir -p "$work/curl-small"
    /usr/bin/time -f '%e' curl -s -K "$work/urls-$1.txt" 2>&1 >/dev/null | tail -1
  }
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
  add_load "$section_load"
fi

if want stampwait; then
  echo "Waiting for the stamp ..."
  section_load=$(load)
  read -r _ wall _ cpu _ < <("$engine" stampwait)
  read -r _ yield_ns < <("$engine" yieldcost)
  add "$(awk -v wall="$wall" -v cpu="$cpu" -v yns="$yield_ns" 'BEGIN {
  printf "\n### Waiting 5 s for the stamp\n\n"
  print "| Wall seconds | CPU seconds | Share of one processor | Goal |"
  print "|---|---|---|---|"
  printf "| %.3f | %.4f | %.2f %% | < 5 %% |\n", wall, cpu, cpu / wall * 100
  printf "\nOne yield costs %d ns here on average over a million in a row (the posted events every time, ", yns
  printf "a full pass of the event loop once a millisecond); a block takes three of them (two in the engine, one in the progress display).\n"
}')"
  add_load "$section_load"
fi

if want latencies; then
  echo "Event latencies ..."
  section_load=$(load)
  # Timer lateness, posted-event latency and progress-bar gaps (each median,
  # 99th percentile, maximum, in ms) during a whole run of 200 MiB.
  latencies_one() {
    fresh_app
    QT_QPA_PLATFORM=xcb "$runner" "$work/app" "$base/big/" --latencies 2>/dev/null |
      awk -v ok="$success" '/^seconds/ {m = $0; sub(/.* message /, "", m); whole = index(m, ok) == 1; if (!whole) print "run: " m > "/dev/stderr"}
        /^latencies/ && whole {print $3, $4, $5, $7, $8, $9, $11, $12, $13}'
  }
  read -r timer_m timer_p99 timer_max posted_m posted_p99 posted_max bar_m bar_p99 bar_max \
    < <(for _ in $(seq "$runs"); do latencies_one; done | column_medians)
  add "$(awk -v runs="$runs" -v tm="$timer_m" -v t99="$timer_p99" -v tx="$timer_max" \
    -v pm="$posted_m" -v p99="$posted_p99" -v px="$posted_max" -v bm="$bar_m" -v b99="$bar_p99" -v bx="$bar_max" 'BEGIN {
  printf "\n### Events during a whole run of 200 MiB, window under Xvfb (ms, median of %d runs)\n\n", runs
  print "| What | Median | 99th percentile | Worst |"
  print "|---|---|---|---|"
  printf "| lateness of a 2 ms timer | %.3f | %.3f | %.3f |\n", tm, t99, tx
  printf "| latency of an event posted from another thread | %.3f | %.3f | %.3f |\n", pm, p99, px
  printf "| gap between repaints of the progress bar | %.3f | %.3f | %.3f |\n", bm, b99, bx
}')"
  add_load "$section_load"
fi

if want cancel; then
  echo "Cancel latency ..."
  section_load=$(load)
  # A click on 取消 10 MiB into a 200 MiB download, by an xdotool started
  # beforehand that takes its commands from a pipe: it presses the button,
  # then releases it. Prints the milliseconds from handing over the release
  # to the end of the process, then those of a round trip of one command
  # through the same xdotool (its own share of the first figure).
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
  read -r cancel_ms xdotool_ms < <(for _ in $(seq "$runs"); do cancel_one; done | column_medians)
  add "$(awk -v runs="$runs" -v cancel="$cancel_ms" -v xdo="$xdotool_ms" 'BEGIN {
  printf "\n### Cancel during a download\n\n"
  printf "A click on 取消 10 MiB into a 200 MiB download, by an xdotool already running, ends the process "
  printf "%.2f ms after the release is handed to xdotool (median of %d runs); ", cancel, runs
  printf "a round trip of one command through that xdotool takes %.2f ms.\n", xdo
}')"
  add_load "$section_load"
fi

if want signed; then
  echo "Signed beside unsigned ($runs pairs) ..."
  section_load=$(load)
  # Unsigned and signed one after the other, so that both meet the same
  # load. A pair in which a run failed is measured again, at most `runs`
  # extra times.
  : > "$work/pairs"
  tries=0
  while [ "$(wc -l < "$work/pairs")" -lt "$runs" ] && [ "$tries" -lt $((2 * runs)) ]; do
    tries=$((tries + 1))
    echo "$(run_one big) $(run_one big "--public-key=$public_key")" | awk 'NF == 2' >> "$work/pairs"
  done
  [ -s "$work/pairs" ] || { echo "no pair of runs succeeded" >&2; exit 1; }
  read -r uns_m uns_lo uns_hi < <(awk '{print $1}' "$work/pairs" | stats)
  read -r sig_m sig_lo sig_hi < <(awk '{print $2}' "$work/pairs" | stats)
  read -r rat_m rat_lo rat_hi < <(awk '{print $2 / $1}' "$work/pairs" | stats)
  # The digest alone, fed in 512-byte blocks as the engine feeds it: the
  # least the signed mode can add.
  read -r _ _ _ sha_s _ sha_mbs _ < <("$build/bench/bench_sha256" 200)
  add "$(awk -v pairs="$(wc -l < "$work/pairs")" -v tries="$tries" -v mb="$mb" \
    -v um="$uns_m" -v ul="$uns_lo" -v uh="$uns_hi" -v sm="$sig_m" -v sl="$sig_lo" -v sh="$sig_hi" \
    -v rm="$rat_m" -v rl="$rat_lo" -v rh="$rat_hi" -v shas="$sha_s" -v shambs="$sha_mbs" 'BEGIN {
  printf "\n### Signed mode, one file of 200 MiB, whole runs (median of %d pairs, min–max; %d tried)\n\n", pairs, tries
  print "| Mode | Seconds | MB/s |"
  print "|---|---|---|"
  printf "| unsigned | %.3f (%.3f–%.3f) | %.0f |\n", um, ul, uh, mb / um
  printf "| signed: SHA-256 while writing, index and signature verified | %.3f (%.3f–%.3f) | %.0f |\n", sm, sl, sh, mb / sm
  printf "\nSigned / unsigned, each pair: median %.3f (%.3f–%.3f); goal < 1.10.\n", rm, rl, rh
  printf "\nThe digest alone (SHA-256 of 200 MiB in 512-byte blocks, `bench_sha256`): %.3f s, %.0f MB/s, ", shas, shambs
  printf "that is %.0f %% of the median unsigned run.\n", shas / um * 100
}')"
  add_load "$section_load"
fi

# Every whole run of the 200 MiB file should take about as long as the
# others; a run that fails (after the idle limit) counts as one over.
if want stalls; then
  echo "Stalls: $stall_runs whole runs of 200 MiB ..."
  section_load=$(load)
  : > "$work/stalls"; : > "$work/stalls-before"
  for _ in $(seq "$stall_runs"); do
    run_with "$runner" "$base/big/" >> "$work/stalls"
    [ -z "$older" ] || run_with "$older/bench/bench_run" "$base/big/" >> "$work/stalls-before"
  done
  read -r curl_now _ _ < <(repeat curl_get data/big.bin)
  stall_row() { # name, file of run_with lines
    sort -k2,2g "$2" | awk -v name="$1" -v n="$stall_runs" '
      { v[NR] = $2; if ($1 != "ok") ++failed; if ($3 != "-" && $3 + 0 > worst) worst = $3 + 0 }
      END {
        m = (NR % 2) ? v[(NR+1)/2] : (v[NR/2] + v[NR/2+1]) / 2
        for (i = 1; i <= NR; ++i) if (v[i] > 3 * m) ++over
        printf "| %s | %d of %d | %d | %.3f | %.3f | %d | %s |\n", name, NR, n, failed, m, v[NR], over,
          (worst > 0 ? sprintf("%.1f", worst) : "not measured")
      }'
  }
  rows=$(stall_row "after" "$work/stalls")
  [ -z "$older" ] || rows+=$'\n'$(stall_row "before" "$work/stalls-before")
  add "$(printf '\n### Stalls: %d whole runs of the 200 MiB file\n\n' "$stall_runs"
    [ -z "$older" ] || printf '"Before" is the older build, %s, taking turns with this build.\n\n' "$older_name"
    echo "| Build | Runs ended | Failed | Median s | Slowest s | Runs over 3× the median (goal 0) | Longest the window went unserved, ms |"
    echo "|---|---|---|---|---|---|---|"
    echo "$rows"
    printf '\ncurl -o in the same section: %.3f s (median of %d).\n' "$curl_now" "$runs")"
  add_load "$section_load"
fi

# A 50 MiB file through a proxy that resets the connection every 5 MiB.
if want drop; then
  echo "A link that drops every 5 MiB ..."
  section_load=$(load)
  proxy_port=$((20000 + RANDOM % 2000))
  proxy=http://127.0.0.1:$proxy_port
  python3 "$root/bench/dropproxy.py" "$proxy_port" "$port" $((5 * 1024 * 1024)) &
  pids+=($!)
  for _ in $(seq 50); do curl -fs -o /dev/null "$proxy/mid/KVTA/ZE/UpdateNote.xml" && break; sleep 0.1; done
  curl_resumed() { # curl resuming by hand after every drop, as a reference
    settle "$work/curl.bin"
    local start=$EPOCHREALTIME tries=0
    until curl -s -C - -o "$work/curl.bin" "$proxy/data/mid.bin"; do
      tries=$((tries + 1))
      [ "$tries" -lt 100 ] || { echo "curl -C -: no end after 100 tries" >&2; return; }
    done
    awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN {printf "%.4f\n", b - a}'
  }
  identical=0
  for _ in $(seq "$runs"); do
    echo "plain $(run_one mid)"
    echo "dropped $(run_with "$runner" "$proxy/mid/" | ok_seconds)"
    cmp -s "$work/app/mid.bin" "$site/data/mid.bin" && identical=$((identical + 1))
    echo "curl $(curl_get data/mid.bin)"
    echo "curl-resumed $(curl_resumed)"
  done > "$work/drop-seconds"
  read -r plain_m _ _ < <(times_of "$work/drop-seconds" plain)
  read -r drop_m drop_lo drop_hi < <(times_of "$work/drop-seconds" dropped)
  dropped_ok=$(awk '$1 == "dropped" && NF == 2' "$work/drop-seconds" | wc -l)
  read -r curl_m _ _ < <(times_of "$work/drop-seconds" curl)
  read -r curl_d _ _ < <(times_of "$work/drop-seconds" curl-resumed)
  older_ending=""
  if [ -n "$older" ]; then
    fresh_app
    older_ending=$(QT_QPA_PLATFORM=xcb "$older/bench/bench_run" "$work/app" "$proxy/mid/" 2>/dev/null |
      awk '/^seconds/ {printf "after %.3f s: %s", $2, substr($0, index($0, "message ") + 8)}')
  fi
  add "$(awk -v p="$plain_m" -v d="$drop_m" -v dl="$drop_lo" -v dh="$drop_hi" -v c="$curl_m" -v cd="$curl_d" \
    -v runs="$runs" -v ok="$dropped_ok" -v same="$identical" -v older="${older:+$older_name}" -v ending="$older_ending" 'BEGIN {
  printf "\n### A link that drops: 50 MiB, a reset every 5 MiB (median of %d runs, taking turns)\n\n", runs
  print "| What | Seconds | Ratio to the undisturbed run | Goal |"
  print "|---|---|---|---|"
  printf "| whole run, undisturbed | %.3f | 1.00 | |\n", p
  printf "| whole run, a reset every 5 MiB, resumed (%d of %d succeeded, %d installed a file identical to the served one) | %.3f (%.3f–%.3f) | %.2f | ≤ 1.5 (no waits: a body that was flowing resumes at once) |\n", ok, runs, same, d, dl, dh, d / p
  printf "| curl -o, undisturbed | %.3f | | reference |\n", c
  printf "| curl -C - in a loop, a reset every 5 MiB | %.3f | | reference |\n", cd
  if (older != "") printf "\nThe older build, %s, through the same proxy, ended %s\n", older, (ending == "" ? "without a closing message" : ending)
}')"
  add_load "$section_load"
fi

machine="$(nproc) cores, $(awk -F': ' '/model name/ {print $2; exit}' /proc/cpuinfo), $(free -g | awk '/Mem:/ {print $2}') GiB; $(uname -sr); Qt $(dpkg-query -W -f='${Version}' libqt6core6 2>/dev/null || echo '?'); $(nginx -v 2>&1 | sed 's/.*: //'); $(curl --version | head -1 | cut -d' ' -f1-2); libcurl $(curl-config --version 2>/dev/null | cut -d' ' -f2 || echo '?')"
header="# Benchmark results

Made by \`bench/run.sh $runs${older:+ $older}\` on $(date -u '+%Y-%m-%d, %H:%M UTC'): $machine.
nginx serves generated data on 127.0.0.1; the window runs under Xvfb.
Load average (1, 5, 15 min) at the start: $load_start; at the end: $(load)."
echo
echo "$table"
if [ -n "$results" ]; then
  printf '%s\n\n%s' "$header" "$table" > "$results"
  echo "Written to $results"
fi
