#!/usr/bin/env bash
# Throughput, memory, scaling and event latencies of the updater against
# curl on loopback, signed beside unsigned runs, the clock reads and event
# passes per block, stalls over many whole runs and a link that drops.
# Run after scripts/test.sh has built the project:
#   bench/run.sh [turns, at least 7] [build folder of an older version, for before/after rows]
# BENCH_BEFORE_NAME describes the older build in the tables.
# BENCH_PARTS picks sections (default, all of them: "throughput memory small
# counts stampwait latencies cancel signed stalls drop"); STALL_RUNS sets the
# number of whole runs of the stall section (default 50).
# Prints the tables. A run of every section also writes them, with the
# machine's description and the load, to bench/results.md; BENCH_RESULTS=FILE
# writes a partial run's tables there.
set -euo pipefail
shopt -s inherit_errexit
source "$(dirname "$0")/../scripts/common.sh"
source "$(dirname "$0")/xvfb.sh"
root=$UPDATER_ROOT
build=$BUILD_DIR
runs=${1:-7}
older=${2:-}
all_parts="throughput memory small counts stampwait latencies cancel signed stalls drop"
parts=${BENCH_PARTS:-$all_parts}
want() { [[ " $parts " == *" $1 "* ]]; }
results=${BENCH_RESULTS:-}
[ "$parts" = "$all_parts" ] && results=${results:-$root/bench/results.md}
stall_runs=${STALL_RUNS:-50}

engine=$build/bench/bench_engine
runner=$build/bench/bench_run
shim=$build/bench/libcountshim.so
installer=$build/bench/bench_install
tools=("$engine" "$runner" "$build/bench/bench_sha256" "$installer" "$shim")
[ -n "$older" ] && tools+=("$older/bench/bench_engine" "$older/bench/bench_run")
for tool in "${tools[@]}"; do
  [ -f "$tool" ] || { echo "missing $tool: run scripts/test.sh first" >&2; exit 1; }
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
start_xvfb "$work"
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
# the run before is no part of any timing either. Where many files are
# created, the output is set aside instead (into $set_aside, removed after
# the section): on an ext4 without a journal, each new inode is checked
# against the inodes freed in the last minutes, so deleting thousands of
# files would slow the next tool's file creation, whichever tool it is.
settle() {
  local path
  for path in "$@"; do
    if [ -n "${set_aside:-}" ] && [ -e "$path" ]; then
      mv "$path" "$(mktemp -d -p "$set_aside")/"
    else
      rm -rf "$path"
    fi
  done
  sync
}
fresh_app() {
  settle "$work/app"
  mkdir -p "$work/app/Update"
  printf '1.0\r\n' > "$work/app/Update.inf"
}
# The minor page faults of the last command run through `faulted`.
faulted() { /usr/bin/time -f '%R' -o "$work/faults" "$@"; }
faults() { tail -1 "$work/faults"; }
curl_get() { # URL path
  settle "$work/curl.bin"
  faulted curl -s -o "$work/curl.bin" -w '%{time_total}\n' "$base/$1"
}
# Only whole downloads and runs that end in success count; any other is told
# on stderr and left out.
engine_big() { # engine
  settle "$work/engine.bin"
  { faulted "$1" download "$base/data/big.bin" "$work/engine.bin" || true; } |
    awk '$6 == 1 {print $2; next} {print "engine: not whole after " $2 " s" > "/dev/stderr"}'
}
success=恭喜您
# One whole run, the window under Xvfb. Prints "ok SECONDS LONGEST_STALL_MS"
# (the longest time the window's event loop did not run; "-" from a build
# that does not measure it) or, for a run that ended with another message,
# "failed SECONDS -" and the message on stderr.
run_with() { # runner, base URL of a release [bench_run option]
  fresh_app
  QT_QPA_PLATFORM=xcb faulted "$1" "$work/app" "$2" ${3:+"$3"} 2>/dev/null |
    awk -v ok="$success" '/^seconds/ {m = $0; sub(/.* message /, "", m)
      if (index(m, ok) == 1) {print "ok", $2, ($3 == "longest-stall-ms" ? $4 : "-"); next}
      print "failed", $2, "-"; print "run: " m " after " $2 " s" > "/dev/stderr"}'
}
ok_seconds() { awk '$1 == "ok" {print $2}'; }
run_one() { run_with "$runner" "$base/$1/" ${2:+"$2"} | ok_seconds; } # folder [bench_run option]
run_before() { run_with "$older/bench/bench_run" "$base/$1/" ${2:+"$2"} | ok_seconds; }
# One tool's part of a turn: prints "TAG TURN SECONDS FAULTS" when the
# command printed the seconds of a whole download or run.
turn_of() { # tag, turn, command...
  local tag=$1 turn=$2 seconds
  shift 2
  seconds=$("$@")
  [ -z "$seconds" ] || echo "$tag $turn $seconds $(faults)"
}
# Lines "TAG TURN SECONDS [FAULTS]" on stdin, the reference's tag: prints, for
# each tag, "TAG SECONDS_MEDIAN MIN MAX RATIO_MEDIAN MIN MAX FAULTS_MEDIAN",
# where a turn's ratio is the reference's seconds over the tag's in that turn.
per_turn() { # reference tag
  awk -v ref="$1" '
    function median(a, n,   i, j, t) {
      for (i = 2; i <= n; i++) for (j = i; j > 1 && a[j-1] > a[j]; j--) {t = a[j]; a[j] = a[j-1]; a[j-1] = t}
      lo = a[1]; hi = a[n]
      return (n % 2) ? a[(n+1)/2] : (a[n/2] + a[n/2+1]) / 2
    }
    {sec[$1, $2] = $3; flt[$1, $2] = $4; if (!($1 in seen)) {seen[$1] = 1; order[++tags] = $1}; turns[$2] = 1}
    END {
      for (k = 1; k <= tags; k++) {
        tag = order[k]; ns = nr = nf = 0
        for (t in turns) if ((tag, t) in sec) {
          s[++ns] = sec[tag, t]
          if (flt[tag, t] != "") f[++nf] = flt[tag, t]
          if ((ref, t) in sec) r[++nr] = sec[ref, t] / sec[tag, t]
        }
        ms = median(s, ns); slo = lo; shi = hi
        mr = nr ? median(r, nr) : 0; rlo = nr ? lo : 0; rhi = nr ? hi : 0
        mf = nf ? median(f, nf) : -1
        printf "%s %.4f %.4f %.4f %.4f %.4f %.4f %.0f\n", tag, ms, slo, shi, mr, rlo, rhi, mf
        delete s; delete r; delete f
      }
    }'
}

table=""
add() { table+="$1"$'\n'; }
# Ends a section with the load average before it and now.
add_load() { add $'\n'"Load average (1, 5, 15 min) before: $1; after: $(load)."; }
mb=209.7152
blocks=409600
older_name=${BENCH_BEFORE_NAME:-$older}
load_start=$(load)
[ "$runs" -ge 7 ] || echo "note: $runs turns; the goals are medians of at least 7" >&2

if want throughput; then
  echo "Throughput ($runs turns) ..."
  section_load=$(load)
  # The tools take turns, so that a change of load on the machine falls on
  # all of them alike.
  for turn in $(seq "$runs"); do
    turn_of curl "$turn" curl_get data/big.bin
    turn_of engine "$turn" engine_big "$engine"
    turn_of run "$turn" run_one big
    if [ -n "$older" ]; then
      turn_of engine-before "$turn" engine_big "$older/bench/bench_engine"
      turn_of run-before "$turn" run_before big
    fi
  done > "$work/big-turns"
  per_turn curl < "$work/big-turns" > "$work/big-stats"
  names="curl=curl -o|reference;"
  [ -z "$older" ] || names+="engine-before=engine alone, before|≥ 0.95 (min ≥ 0.85);"
  names+="engine=engine alone (DLFile, no window)|≥ 0.95 (min ≥ 0.85);"
  [ -z "$older" ] || names+="run-before=whole run, before|≥ 0.60 (min ≥ 0.50);"
  names+="run=whole run, window under Xvfb|≥ 0.60 (min ≥ 0.50)"
  add "$(awk -v mb="$mb" -v b="$blocks" -v runs="$runs" -v names="$names" -v older="${older:+$older_name}" '
{stats[$1] = $0}
END {
  printf "### One file of 200 MiB (%d turns: median, min–max; the tools take turns)\n\n", runs
  if (older != "") printf "\"Before\" is the older build, %s, measured in the same turns.\n\n", older
  print "The ratio to curl is taken in each turn (curl'\''s seconds over the tool'\''s), then its median and range."
  print "Page faults: minor faults of the whole process, median of the turns.\n"
  print "| What | Seconds | MB/s | µs per 512-byte block | Ratio to curl | Page faults | Goal |"
  print "|---|---|---|---|---|---|---|"
  n = split(names, rows, ";")
  for (i = 1; i <= n; ++i) {
    split(rows[i], kv, "="); split(kv[2], f, "|")
    if (!(kv[1] in stats)) { printf "| %s | no whole run | | | | | %s |\n", f[1], f[2]; continue }
    split(stats[kv[1]], v, " ")
    printf "| %s | %.3f (%.3f–%.3f) | %.0f | %.2f | %.2f (%.2f–%.2f) | %d | %s |\n", f[1], v[2], v[3], v[4],
      mb / v[2], v[2] * 1e6 / b, v[5], v[6], v[7], v[8], f[2]
  }
}' "$work/big-stats")"
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
  echo "Many small files ($runs turns) ..."
  section_load=$(load)
  # curl fetches the same URLs in one process, as the run does; its time is
  # the wall time of that process.
  curl_small() { # count
    settle "$work/curl-small"; mkdir -p "$work/curl-small"
    local start=$EPOCHREALTIME
    curl -s -K "$work/urls-$1.txt" >/dev/null || return 0
    awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN {printf "%.4f\n", b - a}'
  }
  set_aside=$work/set-aside
  mkdir -p "$set_aside"
  for turn in $(seq "$runs"); do
    for n in 100 1000 10000; do
      echo "curl-$n $turn $(curl_small "$n")"
      echo "run-$n $turn $(run_one "n$n")"
      [ -z "$older" ] || echo "before-$n $turn $(run_before "n$n")"
      # The installation alone, beside the least that any durable
      # all-or-nothing one needs.
      echo "install-$n $turn $("$installer" "$(mktemp -u -p "$set_aside")" "$n" |
        awk '{print $4, $6}')"
    done
  done | awk 'NF >= 3' > "$work/small-turns"
  rm -rf "$set_aside"
  unset set_aside
  add "$(for n in 100 1000 10000; do
      grep -E "^(curl|run|before)-$n " "$work/small-turns" | sed "s/-$n / /" | per_turn curl | sed "s/^/$n /"
      install=$(awk -v t="install-$n" '$1 == t {print $3, $4}' "$work/small-turns" | column_medians)
      [ -z "$install" ] || echo "$n install $install"
    done | awk -v runs="$runs" -v older="${older:+$older_name}" '
{v[$1, $2] = $0}
function row(n, tag, name, goal,   f, c) {
  if (!((n, tag) in v)) { printf "| %s | %s | no whole run | | | | |\n", n, name; return }
  split(v[n, tag], f, " "); split(v[n, "curl"], c, " ")
  # Per turn: the run'\''s time over curl'\''s, the inverse of per_turn'\''s ratio.
  printf "| %s | %s | %.3f (%.3f–%.3f) | %.3f | %.3f | %.2f (%.2f–%.2f) | %s |\n", n, name, f[3], f[4], f[5],
    f[3] * 1000 / n, c[3] * 1000 / n, 1 / f[6], 1 / f[8], 1 / f[7], goal
}
END {
  printf "\n### Many files of 4 KiB, whole runs (%d turns: median, min–max; the tools take turns)\n\n", runs
  if (older != "") printf "\"Before\" is the older build, %s, in the same turns.\n\n", older
  print "| Files | Build | Run seconds | ms per file | curl, one process: ms per file | Time per file over curl'\''s, per turn | Goal |"
  print "|---|---|---|---|---|---|---|"
  split("100 1000 10000", ns, " ")
  for (i = 1; i <= 3; ++i) {
    goal = ns[i] == 100 ? "" : "≤ 1.15"
    if (older != "") row(ns[i], "before", "before", goal)
    row(ns[i], "run", "after", goal)
  }
  print "\nThe installation alone (staging beside the targets, syncfs, renames, emptying the working folder),"
  print "beside the least that a durable all-or-nothing installation needs (one syncfs, one rename per file),"
  print "medians of the turns, and the time per file that a run may spend beyond curl'\''s at the goal:\n"
  print "| Files | Installation, µs per file | Least, µs per file | 0.15 × curl'\''s time per file, µs |"
  print "|---|---|---|---|"
  for (i = 1; i <= 3; ++i) {
    n = ns[i]
    if (!((n, "install") in v) || !((n, "curl") in v)) continue
    split(v[n, "install"], f, " "); split(v[n, "curl"], c, " ")
    printf "| %s | %.1f | %.1f | %.1f |\n", n, f[3], f[4], 0.15 * c[3] * 1e6 / n
  }
}')"
  add_load "$section_load"
fi

if want counts; then
  echo "Clock reads and event passes per block ..."
  section_load=$(load)
  # Under the counting shim: every clock_gettime, every pass over the posted
  # events and every full pass of the event loop that the process asks for,
  # per 512-byte block of the 200 MiB file. Not timed: the shim's own cost
  # would fall on the figures above.
  counts_of() { awk '/^counts / {print $3 / b, $5 / b, $7 * 1000 / b}' b="$blocks"; }
  engine_counts() { # engine
    settle "$work/engine.bin"
    LD_PRELOAD=$shim "$1" download "$base/data/big.bin" "$work/engine.bin" 2>&1 >/dev/null | counts_of
  }
  run_counts() { # runner
    fresh_app
    QT_QPA_PLATFORM=xcb LD_PRELOAD=$shim "$1" "$work/app" "$base/big/" 2>&1 >/dev/null | counts_of
  }
  counts_turns=3
  counts_row() { # name, command...
    local name=$1
    shift
    read -r c p f < <(for _ in $(seq "$counts_turns"); do "$@"; done | column_medians)
    echo "| $name | $c | $p | $f | ≤ 1 clock read |"
  }
  rows=""
  [ -z "$older" ] || rows+=$(counts_row "engine alone, before" engine_counts "$older/bench/bench_engine")$'\n'
  rows+=$(counts_row "engine alone" engine_counts "$engine")$'\n'
  [ -z "$older" ] || rows+=$(counts_row "whole run, before" run_counts "$older/bench/bench_run")$'\n'
  rows+=$(counts_row "whole run, window under Xvfb" run_counts "$runner")
  add "$(printf '\n### Clock reads and event passes per 512-byte block, 200 MiB (median of %d runs under bench/countshim.cpp)\n\n' "$counts_turns"
    echo "Counted in every thread, through the dynamic linker; the whole process's calls over the file's $blocks blocks."
    echo
    echo "| What | clock_gettime per block | sendPostedEvents per block | processEvents per 1,000 blocks | Goal |"
    echo "|---|---|---|---|---|"
    echo "$rows")"
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
  echo "Signed beside unsigned ($runs turns of pairs) ..."
  section_load=$(load)
  # Unsigned and signed one after the other, so that both meet the same
  # load; the builds take turns. A pair in which a run failed is left out.
  : > "$work/pairs"
  signed_pair() { # build tag, run function
    echo "$1 $("$2" big) $("$2" big "--public-key=$public_key")" | awk 'NF == 3' >> "$work/pairs"
  }
  for _ in $(seq "$runs"); do
    signed_pair after run_one
    [ -z "$older" ] || signed_pair before run_before
  done
  [ -s "$work/pairs" ] || { echo "no pair of runs succeeded" >&2; exit 1; }
  # The digest alone, fed in 512-byte blocks: on the writing thread, and
  # handed to a worker (the writing thread's own seconds).
  "$build/bench/bench_sha256" 200 > "$work/sha256"
  read -r _ _ _ _ sha_s _ sha_mbs _ < <(grep '^inline ' "$work/sha256")
  read -r _ _ _ _ _ _ _ _ _ _ shab_cpu _ < <(grep '^background ' "$work/sha256" || echo "- - - - - - - - - - 0 -")
  signed_rows() { # build tag, its name
    local pairs
    pairs=$(awk -v t="$1" '$1 == t' "$work/pairs" | wc -l)
    [ "$pairs" -gt 0 ] || return 0
    read -r um ul uh < <(awk -v t="$1" '$1 == t {print $2}' "$work/pairs" | stats)
    read -r sm sl sh < <(awk -v t="$1" '$1 == t {print $3}' "$work/pairs" | stats)
    read -r rm rl rh < <(awk -v t="$1" '$1 == t {print $3 / $2}' "$work/pairs" | stats)
    awk -v name="$2" -v pairs="$pairs" -v mb="$mb" -v um="$um" -v ul="$ul" -v uh="$uh" -v sm="$sm" -v sl="$sl" \
      -v sh="$sh" -v rm="$rm" -v rl="$rl" -v rh="$rh" 'BEGIN {
      printf "| %s | %d | %.3f (%.3f–%.3f), %.0f MB/s | %.3f (%.3f–%.3f), %.0f MB/s | %.3f (%.3f–%.3f) |\n",
        name, pairs, um, ul, uh, mb / um, sm, sl, sh, mb / sm, rm, rl, rh}'
  }
  read -r uns_m _ _ < <(awk '$1 == "after" {print $2}' "$work/pairs" | stats)
  add "$(printf '\n### Signed mode, one file of 200 MiB, whole runs (%d turns of pairs: median, min–max)\n\n' "$runs"
    [ -z "$older" ] || printf '"Before" is the older build, %s, in the same turns.\n\n' "$older_name"
    echo "Signed: SHA-256 while writing, index and signature verified. Goal: signed / unsigned ≤ 1.05 per pair."
    echo
    echo "| Build | Pairs | Unsigned seconds | Signed seconds | Signed / unsigned, each pair |"
    echo "|---|---|---|---|---|"
    [ -z "$older" ] || signed_rows before before
    signed_rows after after
    awk -v shas="$sha_s" -v shambs="$sha_mbs" -v shab="$shab_cpu" -v um="$uns_m" 'BEGIN {
      printf "\nThe digest alone (SHA-256 of 200 MiB in 512-byte blocks, `bench_sha256`): %.3f s, %.0f MB/s, ", shas, shambs
      printf "that is %.0f %% of the median unsigned run; handed to a worker, it costs the writing thread %.3f s of processor time.\n", shas / um * 100, shab}')"
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
