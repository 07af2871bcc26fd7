#!/usr/bin/env bash
# Wexmon's CPU load and peak resident memory during an acquisition against the
# module simulator: Wexmon runs under Xvfb with --autostart (a snapshot run of
# 8 channels, one tick and one display update a second); after a warm-up its
# user + system CPU time is read from /proc/<pid>/stat at the start and the end
# of the measured span, and its peak resident set (VmHWM) at the end.
#
#   wexmon_load.sh BUILD_DIR [--seconds N] [--warmup N]
#                  [--wexmon PATH] [--sim PATH] [--library PATH]
set -euo pipefail

usage="usage: wexmon_load.sh BUILD_DIR [--seconds N] [--warmup N] [--wexmon PATH] [--sim PATH] [--library PATH]"
build=${1:?$usage}
shift
seconds=60
warmup=5
wexmon=$build/app/Wexmon
sim=$build/tools/w316sim/w316sim
library=$build/lib/libwexlink.so
while [ $# -gt 0 ]; do
  case $1 in
    --seconds) seconds=$2; shift 2 ;;
    --warmup) warmup=$2; shift 2 ;;
    --wexmon) wexmon=$2; shift 2 ;;
    --sim) sim=$2; shift 2 ;;
    --library) library=$2; shift 2 ;;
    *) echo "$usage" >&2; exit 2 ;;
  esac
done
for f in "$wexmon" "$sim" "$library"; do
  [ -x "$f" ] || [ -f "$f" ] || { echo "missing $f (build Wexmon, w316sim and wexlink first)" >&2; exit 1; }
done
command -v xvfb-run >/dev/null || { echo "xvfb-run not installed" >&2; exit 1; }

work=$(mktemp -d)
simpid=
xvfbpid=
cleanup() {
  [ -n "$xvfbpid" ] && kill "$xvfbpid" 2>/dev/null || true
  [ -n "$simpid" ] && kill "$simpid" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

"$sim" --no-stdin --control "$work/control" >"$work/sim.out" 2>"$work/sim.err" &
simpid=$!
pty=
for _ in $(seq 100); do
  pty=$(awk '/^PTY /{print $2; exit}' "$work/sim.out" 2>/dev/null || true)
  [ -n "$pty" ] && break
  sleep 0.1
done
[ -n "$pty" ] || { echo "the simulator did not report its pty" >&2; cat "$work/sim.err" >&2; exit 1; }

export WEXLINK_COM1=$pty
export WEXMON_LIBRARY=$library
export XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-$work}
total=$((warmup + seconds + 3))
timeout $((total + 30)) xvfb-run -a -s '-screen 0 1024x768x24' \
  "$wexmon" --autostart --after "$total" --dump-labels >"$work/wexmon.out" 2>"$work/wexmon.err" &
xvfbpid=$!

# Wexmon and the X server are children of the xvfb-run shell (under timeout).
pid=
xpid=
for _ in $(seq 100); do
  for parent in $(pgrep -P "$xvfbpid" || true); do
    pid=$(pgrep -P "$parent" -x Wexmon || true)
    xpid=$(pgrep -P "$parent" -x Xvfb || true)
    [ -n "$pid" ] && break
  done
  [ -n "$pid" ] && break
  sleep 0.1
done
[ -n "$pid" ] || { echo "Wexmon did not start" >&2; cat "$work/wexmon.err" >&2; exit 1; }

cpu_ticks() { awk '{ sub(/^.*\) /, ""); print $12 + $13 }' "/proc/$1/stat"; }
# CPU time of all threads in nanoseconds, finer than the clock ticks above.
cpu_ns() { cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{ s += $1 } END { printf "%d", s }'; }
hz=$(getconf CLK_TCK)

sleep "$warmup"
start_ticks=$(cpu_ticks "$pid")
start_ns=$(cpu_ns "$pid")
xstart=0
if [ -n "$xpid" ]; then xstart=$(cpu_ticks "$xpid"); else echo "Xvfb not found; its CPU is shown as 0" >&2; fi
start_time=$(date +%s.%N)
sleep "$seconds"
end_ticks=$(cpu_ticks "$pid")
end_ns=$(cpu_ns "$pid")
xend=0
[ -n "$xpid" ] && xend=$(cpu_ticks "$xpid")
end_time=$(date +%s.%N)
hwm=$(awk '/^VmHWM:/{print $2}' "/proc/$pid/status")
rss=$(awk '/^VmRSS:/{print $2}' "/proc/$pid/status")
echo stats >"$work/control"
sleep 0.2
stats=$(grep '^ok requests' "$work/sim.out" | tail -1 || true)

wait "$xvfbpid" || true
xvfbpid=

awk -v t0="$start_ticks" -v t1="$end_ticks" -v s0="$start_time" -v s1="$end_time" -v hz="$hz" \
    -v hwm="$hwm" -v rss="$rss" -v stats="$stats" -v secs="$seconds" \
    -v n0="$start_ns" -v n1="$end_ns" -v x0="$xstart" -v x1="$xend" 'BEGIN {
  cpu = (t1 - t0) / hz
  span = s1 - s0
  pct = 100 * cpu / span
  printf "Wexmon over %.1f s: CPU %.2f s (%.3f %% of one core, clock ticks of 1/%d s), VmHWM %d KiB, VmRSS %d KiB\n", span, cpu, pct, hz, hwm, rss
  printf "  by the threads\x27 run times (/proc/<pid>/task/*/schedstat): %.3f s, %.3f %% of one core\n", (n1 - n0) / 1e9, 100 * (n1 - n0) / 1e9 / span
  printf "  the X server drawing its windows (Xvfb): %.2f s, %.3f %% of one core\n", (x1 - x0) / hz, 100 * (x1 - x0) / hz / span
  printf "simulator: %s\n", stats
  printf "FIGURE | Wexmon under Xvfb against the simulator, %d s of acquisition: CPU | %.3f %% of one core (%.2f s CPU in %.1f s) | < 1 %% | %s\n", secs, pct, cpu, span, (pct < 1 ? "yes" : "no")
  printf "FIGURE | Wexmon, same run: peak resident memory (VmHWM) | %.1f MiB | - | -\n", hwm / 1024
}'
echo "Wexmon's value captions at exit:"
sed 's/^/  /' "$work/wexmon.out"
