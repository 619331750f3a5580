#!/usr/bin/env bash
# Resident memory, threads and CPU time of an idle `kestrup-host run` on the
# offline demo's folder, next to a floor process (bench_idle_floor: Qt 6 Core and
# Boost.Thread with two threads, asleep), started in turn RUNS times each.
#   idle_host.sh BUILD_DIR [RUNS=5] [SETTLE_SECONDS=10] [CPU_SECONDS=10]
# After SETTLE_SECONDS it reads VmRSS, RssAnon, RssFile and Threads from
# /proc/PID/status, then utime+stime from /proc/PID/stat over a further
# CPU_SECONDS, and the context switches of its threads over that time (wake-ups).
# Prints every run, the medians and the host's ratio to the floor.
# With SMAPS=1 it also prints the host's resident KiB per mapped file (last run).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:?usage: $0 BUILD_DIR [RUNS] [SETTLE_SECONDS] [CPU_SECONDS]}" && pwd)
runs=${2:-5}
settle=${3:-10}
cpu_window=${4:-10}
host=$build/bin/kestrup-host
floor=$build/bin/bench_idle_floor
for program in "$host" "$floor"; do
  [ -x "$program" ] || { echo "$0: $program is missing; build it first" >&2; exit 1; }
done
ticks=$(getconf CLK_TCK)
work=$(mktemp -d)
pid=
cleanup() {
  if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

demo=$(sh "$here/../../examples/offline-demo/prepare.sh" "$work/demo" "$host")
# Idle for the whole measurement: no inactivity end.
sed -i 's/^InactivityTimeout=.*/InactivityTimeout=-1/' "$demo/kestrup-host.ini"

status_kib() { awk -v key="$2:" '$1 == key { print $2 }' "/proc/$1/status"; }
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
# Context switches of all its threads: each is a wake-up (or a preemption).
switches() { cat /proc/"$1"/task/*/status | awk '/ctxt_switches:/ { n += $2 } END { print n }'; }
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# measure NAME COMMAND...: one start; appends "rss anon file threads cpu_ms" to $work/NAME.
measure() {
  local name=$1
  shift
  "$@" > /dev/null 2>&1 &
  pid=$!
  sleep "$settle"
  kill -0 "$pid" 2>/dev/null || { echo "$0: $name ended on its own" >&2; exit 1; }
  local rss anon file threads before after woke
  rss=$(status_kib "$pid" VmRSS)
  anon=$(status_kib "$pid" RssAnon)
  file=$(status_kib "$pid" RssFile)
  threads=$(status_kib "$pid" Threads)
  before=$(cpu_ticks "$pid")
  woke=$(switches "$pid")
  sleep "$cpu_window"
  after=$(cpu_ticks "$pid")
  woke=$(( $(switches "$pid") - woke ))
  if [ "${SMAPS:-0}" = 1 ] && [ "$name" = host ]; then
    awk '/^[0-9a-f]+-[0-9a-f]+ / { file = ($6 == "") ? "[anonymous]" : $6 }
         /^Rss:/ { kib[file] += $2 }
         END { for (f in kib) if (kib[f] > 0) printf "%8d KiB  %s\n", kib[f], f }' "/proc/$pid/smaps" |
      sort -rn > "$work/smaps"
  fi
  kill -TERM "$pid"
  wait "$pid" 2>/dev/null || true
  pid=
  echo "$rss $anon $file $threads $(( (after - before) * 1000 / ticks )) $woke" >> "$work/$name"
  printf '%-6s run: VmRSS %6d KiB (anon %6d, file %6d)  threads %2d  cpu %4d ms, %3d wake-ups in %ds\n' \
    "$name" "$rss" "$anon" "$file" "$threads" "$(( (after - before) * 1000 / ticks ))" "$woke" "$cpu_window"
}

for _ in $(seq "$runs"); do
  measure host "$host" run --config "$demo/kestrup-host.ini"
  measure floor "$floor"
done

column_median() { awk -v c="$2" '{ print $c }' "$work/$1" | median; }
echo "medians of $runs starts, after ${settle}s idle (CPU over the next ${cpu_window}s):"
for column in 1:VmRSS 2:RssAnon 3:RssFile 4:Threads 5:CPU_ms 6:Wake-ups; do
  index=${column%%:*}
  h=$(column_median host "$index")
  f=$(column_median floor "$index")
  ratio=$(awk -v h="$h" -v f="$f" 'BEGIN { if (f > 0) printf "%.2fx", h / f; else print "-" }')
  printf '  %-8s host %8s  floor %8s  ratio %s\n' "${column#*:}" "$h" "$f" "$ratio"
done
if [ -f "$work/smaps" ]; then
  echo "host resident KiB per mapping (last run):"
  head -30 "$work/smaps"
fi
