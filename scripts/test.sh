#!/usr/bin/env bash
# Installs what is missing, builds and runs every test: once in a plain build
# with warnings as errors, once more under AddressSanitizer and
# UndefinedBehaviorSanitizer, where any report fails the run.
set -euo pipefail
source "$(dirname "$0")/common.sh"

install_missing_packages

build_updater -DUPDATER_WERROR=ON
(cd "$BUILD_DIR" && QT_QPA_PLATFORM=offscreen ctest --output-on-failure --timeout 600 -j2)

SANITIZE_DIR=${SANITIZE_DIR:-$BUILD_DIR-sanitize}
BUILD_DIR=$SANITIZE_DIR build_updater -DUPDATER_WERROR=ON -DUPDATER_SANITIZE=ON
reports=$(mktemp -d)
trap 'rm -rf "$reports"' EXIT
# Reports go to files, so that one from a child process (the run driver)
# counts as well as one from a test itself.
(cd "$SANITIZE_DIR" &&
  ASAN_OPTIONS=log_path=$reports/asan:detect_leaks=1 \
  UBSAN_OPTIONS=log_path=$reports/ubsan:print_stacktrace=1 \
  QT_QPA_PLATFORM=offscreen ctest --output-on-failure --timeout 900 -j2)
if compgen -G "$reports/*" >/dev/null; then
  echo "Sanitizer reports:" >&2
  cat "$reports"/* >&2
  exit 1
fi
echo "Sanitizer run: no reports."
