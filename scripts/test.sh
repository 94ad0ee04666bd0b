#!/usr/bin/env bash
# Installs what is missing, builds and runs every test.
set -euo pipefail
source "$(dirname "$0")/common.sh"

install_missing_packages
build_updater
cd "$BUILD_DIR"
QT_QPA_PLATFORM=offscreen ctest --output-on-failure --timeout 600 -j2
