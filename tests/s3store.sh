#!/usr/bin/env bash
# A real S3 store on loopback for the tests: Ceph's radosgw on a one-node
# cluster (one monitor, one OSD in memory, no manager), every daemon in the
# foreground under this script's control, everything kept in DIR.
#
#   s3store.sh start DIR   prints "endpoint=URL", "access=KEY", "secret=KEY"
#                          once the store has taken a first object, and
#                          writes the same lines to DIR/store.env
#   s3store.sh stop DIR    stops the daemons and removes DIR
#
# Exit code 77 when Ceph's packages are missing (scripts/common.sh installs
# them), 1 when the store does not come up.
set -euo pipefail

command=${1:-}
dir=${2:-}
[ -n "$command" ] && [ -n "$dir" ] || { echo "usage: $0 start|stop DIR" >&2; exit 2; }

stop_store() {
  local pid
  for daemon in rgw osd mon; do
    [ -f "$dir/$daemon.pid" ] || continue
    pid=$(cat "$dir/$daemon.pid")
    kill "$pid" 2>/dev/null || true
    # A daemon that ignores the request is not left behind.
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null || true
    rm -f "$dir/$daemon.pid"
  done
}

if [ "$command" = stop ]; then
  stop_store
  rm -rf "$dir"
  exit 0
fi
[ "$command" = start ] || { echo "usage: $0 start|stop DIR" >&2; exit 2; }

for program in monmaptool ceph-authtool ceph-mon ceph-osd ceph radosgw radosgw-admin curl python3; do
  command -v "$program" >/dev/null || { echo "s3store: $program is not installed" >&2; exit 77; }
done

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

fail() {
  echo "s3store: $*" >&2
  for log in "$dir"/log/*.log; do
    [ -f "$log" ] && { echo "--- $log" >&2; tail -n 20 "$log" >&2; }
  done
  stop_store
  exit 1
}

# Waits up to $1 tenths of a second for the command that follows to succeed.
wait_for() {
  local tenths=$1
  shift
  for _ in $(seq "$tenths"); do
    "$@" >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  return 1
}

rm -rf "$dir"
mkdir -p "$dir"/{mon,osd,rgw,run,log}
dir=$(cd "$dir" && pwd)
conf=$dir/ceph.conf
fsid=$(python3 -c 'import uuid; print(uuid.uuid4())')
mon_port=$(free_port)
rgw_port=$(free_port)
access=UPDATERTESTACCESS0001
secret=$(python3 -c 'import secrets; print(secrets.token_hex(20))')

cat > "$conf" <<CONF
[global]
fsid = $fsid
mon host = v2:127.0.0.1:$mon_port
public addr = 127.0.0.1
auth cluster required = none
auth service required = none
auth client required = none
# Without it radosgw waits for ever on the monitor when no one authenticates.
ms mon client mode = crc
run dir = $dir/run
admin socket = $dir/run/\$name.asok
log file = $dir/log/\$name.log
keyring = $dir/keyring
mon data = $dir/mon
osd data = $dir/osd
osd objectstore = memstore
memstore device bytes = 2147483648
# One OSD holds every object once, in a few placement groups.
osd pool default size = 1
osd pool default min size = 1
mon allow pool size one = true
mon warn on pool no redundancy = false
osd pool default pg num = 8
osd pool default pgp num = 8
osd pool default pg autoscale mode = off
mon max pg per osd = 1000
osd crush chooseleaf type = 0
osd crush update on start = true
[client.rgw]
rgw frontends = beast endpoint=127.0.0.1:$rgw_port
rgw data = $dir/rgw
CONF

started=$(date +%s.%N)
ceph-authtool --create-keyring "$dir/keyring" --gen-key -n mon. --cap mon 'allow *' >/dev/null
monmaptool --create --fsid "$fsid" --addv a "[v2:127.0.0.1:$mon_port]" "$dir/monmap" >/dev/null
ceph-mon -c "$conf" --mkfs -i a --monmap "$dir/monmap" --keyring "$dir/keyring" >/dev/null 2>&1 \
  || fail "the monitor's store could not be made"
ceph-mon -c "$conf" -i a -f >/dev/null 2>&1 &
echo $! > "$dir/mon.pid"
ceph=(ceph -c "$conf" --connect-timeout 10)
wait_for 300 "${ceph[@]}" mon stat || fail "the monitor does not answer"

osd_uuid=$(python3 -c 'import uuid; print(uuid.uuid4())')
osd_id=$("${ceph[@]}" osd new "$osd_uuid") || fail "no OSD id"
ceph-osd -c "$conf" -i "$osd_id" --mkfs --osd-uuid "$osd_uuid" >/dev/null 2>&1 || fail "the OSD could not be made"
ceph-osd -c "$conf" -i "$osd_id" -f >/dev/null 2>&1 &
echo $! > "$dir/osd.pid"
osd_up() { "${ceph[@]}" osd dump | grep -q "^osd\.$osd_id up"; }
wait_for 600 osd_up || fail "the OSD does not come up"

radosgw -c "$conf" -n client.rgw -f >/dev/null 2>&1 &
echo $! > "$dir/rgw.pid"
wait_for 600 curl -sf "http://127.0.0.1:$rgw_port/" || fail "radosgw does not answer"
radosgw-admin -c "$conf" user create --uid=updater-test --display-name="updater tests" \
  --access-key="$access" --secret-key="$secret" >/dev/null 2>&1 || fail "the user could not be made"

# Ready once a signed request stores an object.
aws=(curl -sf --aws-sigv4 "aws:amz:us-east-1:s3" --user "$access:$secret" -H "x-amz-content-sha256: UNSIGNED-PAYLOAD")
wait_for 300 "${aws[@]}" -X PUT "http://127.0.0.1:$rgw_port/s3store-ready" || fail "the first bucket could not be made"
wait_for 300 "${aws[@]}" -X PUT --data-binary ready "http://127.0.0.1:$rgw_port/s3store-ready/ready" \
  || fail "the first object could not be stored"
ready=$(date +%s.%N)

{
  echo "endpoint=http://127.0.0.1:$rgw_port"
  echo "access=$access"
  echo "secret=$secret"
  echo "seconds=$(python3 -c "print(round($ready - $started, 1))")"
} | tee "$dir/store.env"
