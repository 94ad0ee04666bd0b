#!/usr/bin/env bash
# Throughput, memory and scaling of the updater against curl, on loopback.
# Run after scripts/test.sh has built the project: bench/run.sh [runs] [signed]
# Prints one table and writes it, with the machine's description, to
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
for cmd in nginx curl Xvfb /usr/bin/time minisign sha256sum; do
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
run_one() { # folder [bench_run option]; prints the seconds, or "failed" with the run's message
  fresh_app
  QT_QPA_PLATFORM=xcb "$runner" "$work/app" "$base/$1/" ${2:+"$2"} 2>/dev/null \
    | awk '/message/ { if ($0 ~ /恭喜/) print $2; else { print "failed"; print "run failed (" mode "): " $0 > "/dev/stderr" } }' mode="$([ -n "${2:-}" ] && echo signed || echo unsigned)"
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

echo "Measuring ($runs runs each) ..."
read -r curl_m curl_lo curl_hi < <(repeat curl_big)
read -r eng_m eng_lo eng_hi < <(repeat engine_big)
read -r run_m run_lo run_hi < <(repeat run_one big)

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

signed=$(signed_table)
read -r _ wall _ cpu _ < <("$engine" stampwait)
read -r _ yield_ns < <("$engine" yieldcost)

mb=209.7152
blocks=409600
table=$(awk -v cm="$curl_m" -v cl="$curl_lo" -v ch="$curl_hi" -v em="$eng_m" -v el="$eng_lo" -v eh="$eng_hi" \
  -v rm="$run_m" -v rl="$run_lo" -v rh="$run_hi" -v mb="$mb" -v b="$blocks" -v runs="$runs" \
  -v erss="$eng_rss" -v rrss="$run_rss" -v wall="$wall" -v cpu="$cpu" -v yns="$yield_ns" \
  -v s1="${small_m[100]}" -v s1l="${small_lo[100]}" -v s1h="${small_hi[100]}" \
  -v s2="${small_m[1000]}" -v s2l="${small_lo[1000]}" -v s2h="${small_hi[1000]}" \
  -v s3="${small_m[10000]}" -v s3l="${small_lo[10000]}" -v s3h="${small_hi[10000]}" \
  -v c1="${curl_small_m[100]}" -v c2="${curl_small_m[1000]}" -v c3="${curl_small_m[10000]}" '
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
  printf "\nOne yield with nothing pending (one poll of the event loop for new events) costs %d ns here; ", yns
  printf "a block takes three of them (two in the engine, one in the progress display).\n"
}')

machine="$(nproc) cores, $(awk -F': ' '/model name/ {print $2; exit}' /proc/cpuinfo), $(free -g | awk '/Mem:/ {print $2}') GiB; $(uname -sr); Qt $(dpkg-query -W -f='${Version}' libqt6core6 2>/dev/null || echo '?'); $(nginx -v 2>&1 | sed 's/.*: //'); $(curl --version | head -1 | cut -d' ' -f1-2)"
{
  echo "# Benchmark results"
  echo
  echo "Made by \`bench/run.sh\` on $(date -u +%Y-%m-%d): $machine."
  echo "nginx serves generated data on 127.0.0.1; the window runs under Xvfb."
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
