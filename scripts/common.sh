# Shared by the scripts: installs what is missing and builds.
# Sourced, not run.

UPDATER_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD_DIR=${BUILD_DIR:-$UPDATER_ROOT/build}

# Debian packages the build, the tests, the demo and the benchmarks use.
UPDATER_PACKAGES=(
  cmake ninja-build g++ pkg-config
  qt6-base-dev qt6-base-dev-tools qt6-translations-l10n libgl-dev
  fonts-noto-cjk
  xvfb xauth xdotool x11-utils imagemagick
  nginx-light curl time
  libssl-dev openssl minisign dpkg-dev file
  libcurl4-openssl-dev libzstd-dev zstd python3 strace
  go-md2man lintian
  # A real S3 store for the upload tests: radosgw on a one-node Ceph cluster.
  ceph-mon ceph-osd radosgw ceph-common
)

install_missing_packages() {
  local missing=()
  for pkg in "${UPDATER_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

configure_build() {
  cmake -S "$UPDATER_ROOT" -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
}

build_updater() {
  configure_build "$@"
  cmake --build "$BUILD_DIR" --parallel "$(nproc)"
}

# Builds only the named targets (and what they need).
build_targets() {
  configure_build >/dev/null
  cmake --build "$BUILD_DIR" --parallel "$(nproc)" --target "$@"
}

# Prints the id of the first window whose name matches PATTERN, once there
# is one (within 20 s, else fails).
wait_for_window() {
  for _ in $(seq 200); do
    xdotool search --name "$1" 2>/dev/null | head -1 && return 0
    sleep 0.1
  done
  return 1
}

# Waits for the update window and presses its start button.
press_start() {
  local window
  window=$(wait_for_window '系统更新')
  sleep 0.5
  eval "$(xdotool getwindowgeometry --shell "$window")"
  # The button's centre, in the window's pixels.
  xdotool mousemove $((X + 332)) $((Y + 236)) click 1
}

# Writes DIR/nginx.conf for a server on 127.0.0.1:PORT that serves ROOT and
# keeps its own files in DIR; EXTRA goes into the server block.
write_nginx_conf() {
  local dir=$1 root=$2 port=$3 extra=${4:-}
  mkdir -p "$dir/nginx"
  cat > "$dir/nginx.conf" <<CONF
daemon off;
worker_processes 1;
pid $dir/nginx.pid;
error_log $dir/nginx/error.log;
events { worker_connections 256; }
http {
  access_log off;
  sendfile on;
  keepalive_requests 100000;
  client_body_temp_path $dir/nginx;
  proxy_temp_path $dir/nginx;
  fastcgi_temp_path $dir/nginx;
  uwsgi_temp_path $dir/nginx;
  scgi_temp_path $dir/nginx;
  default_type application/octet-stream;
  server {
    listen 127.0.0.1:$port;
    root $root;
    $extra
  }
}
CONF
}
