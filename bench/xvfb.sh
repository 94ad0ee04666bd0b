# Sourced by the benchmarks that show the window: starts Xvfb, adds its PID
# to the caller's `pids` and exports DISPLAY.
# Xvfb picks a free display itself: a number taken by another server would
# leave the runs on that server, or on none once it ends.
start_xvfb() { # folder for the display's number
  Xvfb -displayfd 3 -screen 0 1024x640x24 -nolisten tcp 3>"$1/display" >/dev/null 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do [ -s "$1/display" ] && break; sleep 0.05; done
  [ -s "$1/display" ] || { echo "Xvfb did not start" >&2; exit 1; }
  DISPLAY=:$(cat "$1/display")
  export DISPLAY
}
