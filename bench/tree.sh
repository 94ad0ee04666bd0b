#!/usr/bin/env bash
# A signed release of a whole client tree at scale: FILES files in FOLDERS
# folders, DEPTH levels deep (default 20,000 in 2,000, ten deep), each folder
# a link and every tenth file executable. Publishes it into a new site, then
# checks it through a loopback HTTP server as a client would fetch it, and
# installs it with the real updater's whole run into an empty client folder,
# which must then be the source tree again (files, modes, links).
# Run after the publisher and bench_run are built:
#   bench/tree.sh [FILES [FOLDERS [DEPTH]]]
# Prints the time and peak memory of the publication, the check and the
# installation, and
# the sizes of the manifest, the index and the tree beside their limits.
set -euo pipefail
shopt -s inherit_errexit
source "$(dirname "$0")/../scripts/common.sh"
publisher=$BUILD_DIR/publish/updater-publish
runner=$BUILD_DIR/bench/bench_run
for tool in "$publisher" "$runner"; do
  [ -x "$tool" ] || { echo "missing $tool: build the project first" >&2; exit 1; }
done
for cmd in python3 /usr/bin/time; do
  command -v "$cmd" >/dev/null || { echo "missing $cmd" >&2; exit 1; }
done
files=${1:-20000} folders=${2:-2000} depth=${3:-10}

work=$(mktemp -d /tmp/updater-tree.XXXXXX)
server=
trap '[ -n "$server" ] && kill "$server"; rm -rf "$work"' EXIT

# Chains of DEPTH nested folders, FILES/FOLDERS files in each, one link per
# folder to its first file.
python3 - "$work/from" "$files" "$folders" "$depth" <<'EOF'
import os, sys
root, files, folders, depth = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
made = []
for chain in range(folders // depth):
    path = os.path.join(root, f"module{chain:04d}")
    for level in range(depth):
        path = os.path.join(path, f"level{level}") if level else path
        os.makedirs(path)
        made.append(path)
for n in range(files):
    name = os.path.join(made[n % len(made)], f"file{n:05d}.dat")
    with open(name, "w") as out:
        out.write(f"content of file {n}\n")
    os.chmod(name, 0o755 if n % 10 == 0 else 0o644)
for path in made:
    first = sorted(f for f in os.listdir(path) if f.endswith(".dat"))[0]
    os.symlink(first, os.path.join(path, "current.dat"))
EOF
echo "Tree: $(find "$work/from" -type f | wc -l) files, $(find "$work/from" -mindepth 1 -type d | wc -l) folders," \
  "$(find "$work/from" -type l | wc -l) links, $depth levels deep"

mkdir -p "$work/site"
"$publisher" keygen --public-key "$work/key.pub" --secret-key "$work/key.key" >/dev/null 2>&1
/usr/bin/time -f "%e %M" -o "$work/time" \
  "$publisher" release --from "$work/from" --site "$work/site" --version 1 --secret-key "$work/key.key" \
  >"$work/out" 2>/dev/null
read -r seconds kib <"$work/time"
echo "release: $seconds s, peak $((kib / 1024)) MiB: $(cat "$work/out")"

port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
# Python's own server queues 5 connections: a client with several requests
# in flight would wait out SYN retransmissions, not the tree's cost.
python3 - "$port" "$work/site" >/dev/null 2>&1 <<'EOF' &
import functools, http.server, sys
class Server(http.server.ThreadingHTTPServer):
    request_queue_size = 128
handler = functools.partial(http.server.SimpleHTTPRequestHandler, directory=sys.argv[2])
Server(("127.0.0.1", int(sys.argv[1])), handler).serve_forever()
EOF
server=$!
until python3 -c "import socket; socket.create_connection(('127.0.0.1', $port))" 2>/dev/null; do sleep 0.1; done
/usr/bin/time -f "%e %M" -o "$work/time" \
  "$publisher" check "http://127.0.0.1:$port/" --public-key "$work/key.pub" >"$work/out" 2>/dev/null || true
read -r seconds kib <"$work/time"
echo "check: $seconds s, peak $((kib / 1024)) MiB: $(tail -1 "$work/out")"

mkdir -p "$work/app/Update"
printf '0\r\n' > "$work/app/Update.inf"
QT_QPA_PLATFORM=offscreen /usr/bin/time -f "%e %M" -o "$work/time" \
  "$runner" "$work/app" "http://127.0.0.1:$port/" "--public-key=$(sed -n 2p "$work/key.pub")" \
  >"$work/out" 2>/dev/null || true
read -r seconds kib <"$work/time"
echo "install: $seconds s, peak $((kib / 1024)) MiB: $(sed 's/.* message //' "$work/out" | head -c 80)"
own='Update|Update\.inf|Update\.log(\.1)?|LoadUpdate\.(inf|sha256|sha256\.minisig|tree)'
if diff -r --no-dereference "$work/from" "$work/app" | grep -Ev "^Only in $work/app: ($own)\$" >"$work/diff"; then
  echo "installed tree differs from the source:" && head -5 "$work/diff"
else
  modes() { (cd "$1" && find . -mindepth 1 -printf '%y %m %P %l\n' | grep -Ev "^. [0-7]+ ($own)( |/|\$)" | sort); }
  if [ "$(modes "$work/from")" = "$(modes "$work/app")" ]; then
    echo "installed tree: identical to the source (diff -r, modes, link targets)"
  else
    echo "installed tree: modes or links differ from the source"
  fi
fi

size() { stat -c %s "$work/site/KVTA/ZE/$1"; }
echo "manifest $(size LoadUpdate.inf) of 8388608 bytes, index $(size LoadUpdate.sha256) of 16777216," \
  "tree $(size LoadUpdate.tree) of 16777216"
