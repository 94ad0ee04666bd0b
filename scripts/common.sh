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

build_updater() {
  cmake -S "$UPDATER_ROOT" -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
  cmake --build "$BUILD_DIR" --parallel "$(nproc)"
}
