#!/usr/bin/env bash
# The nginx configuration in docs/nginx, as a vendor installs it: nginx -t
# accepts it, and served on 127.0.0.1 it hides the publisher's dotfiles, sends
# each path with its cache rule and passes `updater-publish check`, over HTTP
# and HTTPS. Usage: nginx_config.sh SOURCE_DIR UPDATER_PUBLISH
set -euo pipefail
source_dir=$1 publisher=$2
command -v nginx >/dev/null || { echo "nginx is not installed"; exit 77; }

work=$(mktemp -d)
nginx_pid=
trap '[ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null; rm -rf "$work"' EXIT
mkdir -p "$work/from" "$work/site" "$work/temp" "$work/tls"
port=$((20000 + RANDOM % 20000)) tls_port=$((port + 1))

# The files with this machine's paths and ports put in.
sed -e "s|/srv/updates|$work/site|" "$source_dir/docs/nginx/updater-tree.conf" > "$work/updater-tree.conf"
for name in updater updater-https; do
  sed -e "s|/etc/nginx/snippets/|$work/|" -e "s|/etc/ssl/updates.example.com/|$work/tls/|" \
      -e "s|listen 80;|listen 127.0.0.1:$port;|" -e "s|listen 443 ssl http2;|listen 127.0.0.1:$tls_port ssl http2;|" \
      -e '/listen \[::\]/d' "$source_dir/docs/nginx/$name.conf" > "$work/$name.conf"
done
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 1 -subj /CN=127.0.0.1 \
  -addext subjectAltName=IP:127.0.0.1 -keyout "$work/tls/privkey.pem" -out "$work/tls/fullchain.pem" 2>/dev/null
cat > "$work/nginx.conf" <<CONF
daemon off;
pid $work/nginx.pid;
error_log $work/error.log;
events { worker_connections 64; }
http {
  access_log off;
  client_body_temp_path $work/temp;
  proxy_temp_path $work/temp;
  fastcgi_temp_path $work/temp;
  uwsgi_temp_path $work/temp;
  scgi_temp_path $work/temp;
  include $work/updater.conf;
  include $work/updater-https.conf;
}
CONF
nginx -t -q -e "$work/error.log" -c "$work/nginx.conf"

echo 'release 1' > "$work/from/readme.txt"
"$publisher" release --from "$work/from" --site "$work/site" --version 1 2>/dev/null
# nginx's workers run as another user: the tree must be readable by all.
chmod 755 "$work"
chmod -R a+rX "$work/site"
stored=$(cd "$work/site" && ls KVTA/ZE/files/*/*)
touch "$work/site/.updater-publish.lock" "$work/site/KVTA/ZE/.UpdateNote.xml.publishing-x1" \
      "$work/site/KVTA/ZE/files/.readme.publishing-x2"
nginx -e "$work/error.log" -c "$work/nginx.conf" &
nginx_pid=$!
for _ in $(seq 50); do curl -fso /dev/null "http://127.0.0.1:$port/KVTA/ZE/UpdateNote.xml" && break; sleep 0.1; done

failures=0
# path, status, the Cache-Control it carries ("" for none)
while read -r path status cache; do
  headers=$(curl -sk --http1.1 -o /dev/null -D - "https://127.0.0.1:$tls_port/$path"; curl -s -o /dev/null -D - "http://127.0.0.1:$port/$path")
  got_status=$(grep -c "^HTTP/1.1 $status " <<<"$headers" || true)
  got_cache=$(grep -ic "^Cache-Control: ${cache//_/ }"$'\r'"\$" <<<"$headers" || true)
  if [ "$got_status" != 2 ] || { [ "$cache" != - ] && [ "$got_cache" != 2 ]; }; then
    echo "FAIL: /$path: expected $status, Cache-Control ${cache//_/ }; got:"; echo "$headers"
    failures=$((failures + 1))
  fi
done <<ROWS
KVTA/ZE/UpdateNote.xml 200 no-cache
KVTA/ZE/LoadUpdate.inf 200 no-cache
$stored 200 public,_max-age=31536000,_immutable
.updater-publish.lock 404 -
KVTA/ZE/.UpdateNote.xml.publishing-x1 404 -
KVTA/ZE/files/.readme.publishing-x2 404 -
KVTA/ZE/ 403 no-cache
ROWS

"$publisher" check "http://127.0.0.1:$port" 2>/dev/null || failures=$((failures + 1))

# HTTPS offers HTTP/2 (ALPN): the version that curl negotiated.
[ "$(curl -sk -o /dev/null -w '%{http_version}' "https://127.0.0.1:$tls_port/KVTA/ZE/UpdateNote.xml")" = 2 ] ||
  { echo "FAIL: HTTPS did not negotiate HTTP/2"; failures=$((failures + 1)); }
[ "$failures" = 0 ] && echo "nginx configuration: all checks passed"
exit "$failures"
