#!/usr/bin/env bash
# Many files over a slower, farther link: the whole update run beside curl.
# nginx serves generated releases on 127.0.0.1 over HTTP/1.1 and over HTTPS
# (HTTP/2 offered by ALPN); bench/linkproxy.py stands between as one link of
# LINK_MBITS shared by every connection, at each round trip of LINK_RTTS.
# For 100, 1,000 and 10,000 files of 4 KiB and a mixed client (300 files,
# 40 MB, sized like a Qt application's: many small files, a few libraries of
# some MB), the tools take turns: the whole run (bench_run, unsigned, the
# window under Xvfb), curl fetching the URLs one after another in one
# process, and curl --parallel --parallel-max 8; beside them the physical
# floor and the run's peak memory. Then, on loopback, the run's and curl's
# time per file beside the installation and its least (bench_install), and
# signed beside unsigned runs of 200 MiB (bench/run.sh's section).
#   bench/links.sh            uses $BUILD_DIR (default build/), builds what is missing
# Options, in the environment:
#   LINK_PARTS      sections, default "check link loopback signed"
#   LINK_SETS       default "100 1000 10000 mixed"
#   LINK_RTTS       round trips in ms, default "30 150"
#   LINK_PROTOCOLS  default "http https"
#   LINK_MBITS      the link's rate, default 100
#   LINK_CAP        seconds after which a tool is stopped, default 30; its
#                   time is then extrapolated from the work it had done
#   LOOPBACK_TURNS  turns of the loopback section, default 3
# A quick subset: LINK_PARTS=link LINK_SETS=1000 LINK_RTTS=30 bench/links.sh
set -euo pipefail
shopt -s inherit_errexit
source "$(dirname "$0")/../scripts/common.sh"
source "$(dirname "$0")/xvfb.sh"
root=$UPDATER_ROOT
build=$BUILD_DIR
parts=${LINK_PARTS:-check link loopback signed}
want() { [[ " $parts " == *" $1 "* ]]; }
sets=${LINK_SETS:-100 1000 10000 mixed}
rtts=${LINK_RTTS:-30 150}
protocols=${LINK_PROTOCOLS:-http https}
mbits=${LINK_MBITS:-100}
cap=${LINK_CAP:-30}
loopback_turns=${LOOPBACK_TURNS:-3}

runner=$build/bench/bench_run
installer=$build/bench/bench_install
targets=(bench_run bench_install)
want signed && targets+=(bench_engine bench_sha256 countshim)
for target in "${targets[@]}"; do
  [ -e "$build/bench/$target" ] || [ -e "$build/bench/lib$target.so" ] || { build_targets "${targets[@]}"; break; }
done
for cmd in nginx curl openssl Xvfb /usr/bin/time timeout python3; do
  command -v "$cmd" >/dev/null || { echo "missing $cmd: run scripts/test.sh first" >&2; exit 1; }
done

work=$(mktemp -d /tmp/updater-links.XXXXXX)
chmod 755 "$work"
site=$work/site
set_aside=$work/set-aside
mkdir -p "$site" "$set_aside"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  # Deleting the tens of thousands of files the tools wrote takes minutes
  # on some file systems.
  echo "Removing $work ..." >&2
  rm -rf "$work"
}
trap cleanup EXIT
started=$(date -u '+%Y-%m-%d %H:%M UTC')
load() { awk '{print $1 ", " $2 ", " $3}' /proc/loadavg; }
load_start=$(load)
clock_start=$EPOCHREALTIME

echo "Generating data in $work ..."
# Every data set is a list "PATH SIZE" beneath the site; its files are
# random bytes (nothing to compress). The mixed client's sizes are drawn
# with a fixed seed: resources and translations of a few KiB to a few
# hundred, plug-ins up to about a MiB, and eight libraries that make up the
# rest of the 40 MB.
python3 - "$site" <<'PY'
import math, os, random, sys
site = sys.argv[1]
def write(listing, files):
    with open(os.path.join(site, listing), "w") as out:
        for path, size in files:
            full = os.path.join(site, path)
            os.makedirs(os.path.dirname(full), exist_ok=True)
            with open(full, "wb") as f:
                f.write(os.urandom(size))
            out.write(f"{path} {size}\n")
small = [(f"small/{i:05d}.bin", 4096) for i in range(1, 10001)]
for n in (100, 1000, 10000):
    write(f"list-{n}", small[:n])
draw = random.Random(32)
sizes = [min(int(draw.lognormvariate(math.log(12000), 1.4)), 1 << 20) for _ in range(292)]
libraries = [draw.uniform(1, 5) for _ in range(8)]
rest = 40_000_000 - sum(sizes)
sizes += [int(rest * share / sum(libraries)) for share in libraries]
sizes[-1] += 40_000_000 - sum(sizes)
draw.shuffle(sizes)
write("list-mixed", [(f"mixed/{i:03d}.bin", size) for i, size in enumerate(sizes, 1)])
write("list-check", [("check/10m.bin", 10_000_000), ("check/small.txt", 100)]
      + [(f"check/{i}.bin", 1_250_000) for i in range(1, 9)])
PY
# A release per set: its manifest names every file of the set by its own name.
for set in 100 1000 10000 mixed; do
  mkdir -p "$site/r$set/KVTA/ZE"
  printf '2.0\r\n' > "$site/r$set/KVTA/ZE/UpdateNote.xml"
  awk '{n = $1; sub(/.*\//, "", n); printf "0001%s name %s\r\n", $1, n}' "$site/list-$set" \
    > "$site/r$set/KVTA/ZE/LoadUpdate.inf"
  for folder in small mixed; do ln -s "../$folder" "$site/r$set/$folder"; done
done
chmod -R a+rX "$site"
count_of() { wc -l < "$site/list-$1"; }
bytes_of() { awk '{b += $2} END {print b}' "$site/list-$1"; }

openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 1 -subj /CN=127.0.0.1 \
  -addext subjectAltName=IP:127.0.0.1 -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
port=$((24000 + RANDOM % 2000))
tls_port=$((port + 1))
# The access log tells which HTTP version each request of a run came in.
write_nginx_conf "$work" "$site" "$port" "listen 127.0.0.1:$tls_port ssl http2;
    ssl_certificate $work/cert.pem; ssl_certificate_key $work/key.pem;
    access_log $work/nginx/access.log;"
nginx -c "$work/nginx.conf" -p "$work/nginx" &
pids+=($!)
start_xvfb "$work"

# One proxy per round trip and protocol, each a link of its own: the tools
# take turns, so no two ever share one.
declare -A link_port
next_port=$((port + 2))
for rtt in $rtts; do
  for protocol in http https; do
    link_port[$rtt-$protocol]=$next_port
    python3 "$root/bench/linkproxy.py" "$next_port" "$([ "$protocol" = http ] && echo "$port" || echo "$tls_port")" \
      "$(awk -v r="$rtt" 'BEGIN {print r / 2}')" "$mbits" &
    pids+=($!)
    next_port=$((next_port + 1))
  done
done
base_of() { # rtt ("loopback" for none), protocol
  if [ "$1" = loopback ]; then
    echo "$2://127.0.0.1:$([ "$2" = http ] && echo "$port" || echo "$tls_port")"
  else
    echo "$2://127.0.0.1:${link_port[$1-$2]}"
  fi
}
for rtt in loopback $rtts; do
  for _ in $(seq 50); do curl -fs -o /dev/null "$(base_of "$rtt" http)/check/small.txt" && break; sleep 0.1; done
done

# Where a tool's files go: set aside afterwards rather than deleted, since
# deleting thousands of files slows the creation of the next ones; synced
# before, so that no tool waits for what an earlier one wrote.
fresh() { # folder
  [ ! -e "$1" ] || mv "$1" "$(mktemp -d -p "$set_aside")/"
  mkdir -p "$1"
  sync
}
curl_config() { # set, base, output folder
  awk -v b="$2" -v o="$3" '{n = $1; sub(/.*\//, "", n); printf "url = \"%s/%s\"\noutput = \"%s/%s\"\n", b, $1, o, n}' \
    "$site/list-$1"
}
success=恭喜您
# Runs a tool, stopped after LINK_CAP seconds. Prints "ok SECONDS PEAK_KIB",
# "stopped SECONDS PEAK_KIB FILES BYTES" with the files and bytes found in
# FOLDER by then, or "failed" (and why on stderr).
measure() { # kind (run or curl), folder, command...
  local kind=$1 folder=$2 start status=0 seconds
  shift 2
  start=$EPOCHREALTIME
  /usr/bin/time -f 'peak %M' -o "$work/time" timeout "$cap" "$@" > "$work/out" 2>"$work/err" || status=$?
  seconds=$(awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN {printf "%.3f", b - a}')
  local peak
  peak=$(awk '/^peak/ {print $2}' "$work/time")
  if [ "$status" = 124 ]; then
    echo "stopped $seconds $peak $(find "$folder" -type f -printf '%s\n' | awk '{b += $1} END {print NR, b + 0}')"
  elif [ "$kind" = run ]; then
    awk -v ok="$success" -v peak="$peak" '/^seconds/ {m = $0; sub(/.* message /, "", m)
      if (index(m, ok) == 1) print "ok", $2, peak; else {print "failed"; print "run: " m > "/dev/stderr"}; found = 1}
      END {if (!found) print "failed"}' "$work/out"
  elif [ "$status" = 0 ]; then
    echo "ok $seconds $peak"
  else
    echo "failed"; echo "curl: status $status" >&2
  fi
}
run_tool() { # set, base
  local app=$work/app
  fresh "$app"
  mkdir -p "$app/Update"
  printf '1.0\r\n' > "$app/Update.inf"
  : > "$work/nginx/access.log"
  QT_QPA_PLATFORM=xcb measure run "$app/Update" "$runner" "$app" "$2/r$1/" "--ca-certificates=$work/cert.pem"
}
curl_tool() { # set, base, curl options...
  local set=$1 base=$2 out=$work/curl-out
  shift 2
  fresh "$out"
  curl_config "$set" "$base" "$out" > "$work/curl.conf"
  measure curl "$out" curl -s --cacert "$work/cert.pem" "$@" -K "$work/curl.conf"
}
# The HTTP versions of the requests in the access log, most used first.
versions() { grep -o 'HTTP/[0-9.]*"' "$work/nginx/access.log" | tr -d '"' | sort | uniq -c | sort -rn |
  awk '{printf "%s%s", (NR > 1 ? "+" : ""), $2}'; }

table=""
add() { table+="$1"$'\n'; }

if want check; then
  echo "Checking the link ..."
  : > "$work/check"
  for rtt in $rtts; do
    base=$(base_of "$rtt" http)
    one=$(curl -s -o /dev/null -w '%{time_total}' "$base/check/10m.bin")
    start=$EPOCHREALTIME
    curl -s --parallel --parallel-max 8 $(for i in $(seq 8); do echo "$base/check/$i.bin -o /dev/null"; done) 2>/dev/null
    eight=$(awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN {printf "%.3f", b - a}')
    # The second request rides on the connection the first opened.
    small=$(curl -s -o /dev/null -o /dev/null -w '%{time_total}\n' "$base/check/small.txt" "$base/check/small.txt" | tail -1)
    echo "$rtt $one $eight $small" >> "$work/check"
  done
  add "$(awk -v mbits="$mbits" 'BEGIN {
    printf "### The emulated link (bench/linkproxy.py, %s Mbit/s shared by every connection)\n\n", mbits
    print "| Round trip | 10 MB, one connection | 8 × 1.25 MB, 8 connections at once | Bytes ÷ rate + 2 round trips (handshake, request) | A small request on an open connection |"
    print "|---|---|---|---|---|"}
    {printf "| %d ms | %.3f s | %.3f s | %.3f s | %.1f ms |\n", $1, $2, $3, 10e6 * 8 / (mbits * 1e6) + 2 * $1 / 1000, $4 * 1000}' "$work/check")"
fi

if want link; then
  : > "$work/cells"
  for set in $sets; do
    for rtt in $rtts; do
      for protocol in $protocols; do
        echo "$set files, $rtt ms, $protocol ..."
        base=$(base_of "$rtt" "$protocol")
        echo "$set $rtt $protocol run $(run_tool "$set" "$base") $(versions)" >> "$work/cells"
        echo "$set $rtt $protocol sequence $(curl_tool "$set" "$base")" >> "$work/cells"
        echo "$set $rtt $protocol parallel $(curl_tool "$set" "$base" --parallel --parallel-max 8)" >> "$work/cells"
      done
    done
  done
  for set in $sets; do echo "files $set $(count_of "$set") $(bytes_of "$set")"; done >> "$work/cells"
  add "$(awk -v mbits="$mbits" -v cap="$cap" '
  $1 == "files" {files[$2] = $3; bytes[$2] = $4; next}
  {key = $1 SUBSEP $2 SUBSEP $3; cell[key, $4] = $0; if (!(key in seen)) {seen[key] = 1; order[++n] = key}}
  # A stopped tool: its seconds times the whole work over the work it did,
  # where a file costs a round trip (an eighth of one for curl --parallel)
  # and a byte its time on the link.
  function shown(set, rtt, tool, v, conc,   f, work, done) {
    split(v, f, " ")
    if (f[5] == "ok") { secs[tool] = f[6]; return sprintf("%.3f", f[6]) }
    if (f[5] != "stopped" || f[9] == 0) { secs[tool] = ""; return "failed" }
    work = files[set] * rtt / 1000 / conc + bytes[set] * 8 / (mbits * 1e6)
    done = f[8] * rtt / 1000 / conc + f[9] * 8 / (mbits * 1e6)
    secs[tool] = f[6] * work / done
    return sprintf("≈ %.0f (extrapolated: stopped at %.0f s, %d of %d files)", secs[tool], f[6], f[8], files[set])
  }
  END {
    print "\n### Many files over the link: whole run beside curl (one turn each, the tools taking turns)\n"
    print "| Files | Round trip | Protocol | Whole run s | Run peak RSS | Run spoke | curl in sequence s | curl --parallel --parallel-max 8 s | Floor s | Run ÷ curl --parallel |"
    print "|---|---|---|---|---|---|---|---|---|---|"
    for (i = 1; i <= n; ++i) {
      split(order[i], k, SUBSEP); set = k[1]; rtt = k[2]; proto = k[3]
      split(cell[order[i], "run"], r, " ")
      run = shown(set, rtt, "run", cell[order[i], "run"], 1)
      rss = (r[5] == "ok" || r[5] == "stopped") ? sprintf("%.1f MiB%s", r[7] / 1024, r[5] == "stopped" ? " (until stopped)" : "") : "–"
      spoke = r[5] == "ok" ? r[8] : (r[5] == "stopped" ? r[10] : "–")
      seq = shown(set, rtt, "sequence", cell[order[i], "sequence"], 1)
      par = shown(set, rtt, "parallel", cell[order[i], "parallel"], 8)
      floor = bytes[set] * 8 / (mbits * 1e6) + rtt / 1000 * (proto == "https" ? 3 : 2)
      ratio = (secs["run"] != "" && secs["parallel"] != "") ? sprintf("%.2f", secs["run"] / secs["parallel"]) : "–"
      name = set == "mixed" ? sprintf("mixed, %d (%.1f MB)", files[set], bytes[set] / 1e6) : set
      printf "| %s | %d ms | %s | %s | %s | %s | %s | %s | %.3f | %s |\n", name, rtt, proto == "https" ? "HTTPS" : "HTTP/1.1",
        run, rss, spoke, seq, par, floor, ratio
    }
    printf "\nFloor: the bytes of the files at %s Mbit/s, plus one round trip each for the TCP handshake, the TLS\n", mbits
    printf "handshake (HTTPS) and the first request. A tool still running after %d s is stopped; its time is then\n", cap
    print "extrapolated from the files it had (each file a round trip, an eighth of one for curl --parallel, each byte its"
    print "time on the link). \"Run spoke\": the HTTP versions of the run'\''s requests in nginx'\''s access log."
  }' "$work/cells")"
fi

if want loopback; then
  echo "On loopback ($loopback_turns turns) ..."
  section_load=$(load)
  : > "$work/loopback"
  loopback=$(base_of loopback http)
  for turn in $(seq "$loopback_turns"); do
    for set in 1000 10000; do
      read -r status seconds _ < <(run_tool "$set" "$loopback")
      [ "$status" != ok ] || echo "$set run $seconds" >> "$work/loopback"
      read -r status seconds _ < <(curl_tool "$set" "$loopback")
      [ "$status" != ok ] || echo "$set curl $seconds" >> "$work/loopback"
      "$installer" "$(mktemp -u -p "$set_aside")" "$set" | awk -v n="$set" '{print n, "install", $4; print n, "least", $6}' >> "$work/loopback"
    done
  done
  add "$(awk -v turns="$loopback_turns" '
  function median(list,   a, m, i, j, t) {
    m = split(list, a, " ")
    for (i = 2; i <= m; i++) for (j = i; j > 1 && a[j-1] > a[j]; j--) {t = a[j]; a[j] = a[j-1]; a[j-1] = t}
    return (m % 2) ? a[(m+1)/2] : (a[m/2] + a[m/2+1]) / 2
  }
  {v[$1, $2] = v[$1, $2] " " $3; sets[$1] = 1}
  END {
    printf "\n### On loopback, HTTP/1.1 (median of %d turns)\n\n", turns
    print "| Files | Whole run, ms per file | curl in sequence, ms per file | Least installation, µs per file | Run ÷ (curl + least) | Installation, µs per file | Installation ÷ least |"
    print "|---|---|---|---|---|---|---|"
    for (s = 1000; s <= 10000; s *= 10) {
      if (!(s in sets)) continue
      run = median(v[s, "run"]) * 1000 / s; curl = median(v[s, "curl"]) * 1000 / s
      least = median(v[s, "least"]); inst = median(v[s, "install"])
      printf "| %d | %.3f | %.3f | %.1f | %.2f | %.1f | %.2f |\n", s, run, curl, least, run / (curl + least / 1000), inst, inst / least
    }
  }' "$work/loopback")"
  add $'\n'"Load average (1, 5, 15 min) before: $section_load; after: $(load)."
fi

if want signed; then
  echo "Signed beside unsigned (bench/run.sh) ..."
  add "$(BENCH_PARTS=signed BUILD_DIR=$build "$root/bench/run.sh" 7 | sed -n '/^### /,$p' | sed '1s/^/\n/')"
fi

elapsed=$(awk -v a="$clock_start" -v b="$EPOCHREALTIME" 'BEGIN {printf "%.0f", b - a}')
machine="$(nproc) cores, $(awk -F': ' '/model name/ {print $2; exit}' /proc/cpuinfo); $(uname -sr); $(nginx -v 2>&1 | sed 's/.*: //') (HTTP/2 on TLS: offered by ALPN); $(curl --version | head -1 | cut -d' ' -f1-2)"
echo
options=$(for name in LINK_PARTS LINK_SETS LINK_RTTS LINK_PROTOCOLS LINK_MBITS LINK_CAP LOOPBACK_TURNS; do
  [ -z "${!name:-}" ] || printf '%s="%s" ' "$name" "${!name}"; done)
echo "Made by \`${options}bench/links.sh\` on $started in ${elapsed} s: $machine."
echo "Load average (1, 5, 15 min) at the start: $load_start; at the end: $(load)."
echo
echo "$table"
