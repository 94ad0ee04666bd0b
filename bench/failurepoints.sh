#!/usr/bin/env bash
# Every failure point of the three whole runs (unsigned, signed, signed with a
# patch): each file-system call a run makes on the client folder fails with
# EIO, then with ENOSPC, and the run is killed at each. ctest runs a sample of
# the same test; this runs every point.
# Run after the tests are built:
#   bench/failurepoints.sh
# Prints, for each run and fault, the calls counted, the points tried and the
# points held, every point not held with why, and the sums.
set -euo pipefail
shopt -s inherit_errexit
source "$(dirname "$0")/../scripts/common.sh"
test=$BUILD_DIR/tests/tst_failurepoints
[ -x "$test" ] || { echo "missing $test: build the tests first" >&2; exit 1; }
status=0
out=$(FAILURE_POINTS=all QT_QPA_PLATFORM=offscreen "$test" -maxwarnings 0 2>&1) || status=$?
grep -E '^QINFO|^FAIL|^point |^Totals' <<<"$out" || true
awk '/points tried/ { for (i = 1; i < NF; i++) { if ($i == "tried") tried += $(i + 1); if ($i == "held") held += $(i + 1) } }
     END { printf "every run and fault: points tried %d, held %d\n", tried, held }' <<<"$out"
exit "$status"
