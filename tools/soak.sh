#!/usr/bin/env bash
# Soak run: steady traffic through two quorvane terminals and the demo log
# server for a while (10 minutes by default), sampling the resident memory of
# all three every 10 seconds. Fails when any of them grows after the warm-up,
# when a line is lost on the way, or when a program does not end cleanly.
#
#   tools/soak.sh [seconds]          (or SOAK_SECONDS=...; default 600)
#   BUILD=<build dir> tools/soak.sh  (default: build/ under the source tree)
#
# Traffic: operator A types lines on its console, operator B appends records
# to its term.out; the server relays each line to the other operator, whose
# terminal appends it to its term.in. About 100 lines a second each way.
# A terminal writes its term.in only after a second without server output,
# so under steady traffic it holds everything it receives; SOAK_QUIET=1
# leaves two quiet seconds in every ten, so that the queues are written and
# what remains is growth of another kind.
# Not part of CI: it runs far longer than the test budget allows.
set -u

here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-$here/build}
seconds=${1:-${SOAK_SECONDS:-600}}
terminal=$build/quorvane
logserver=$build/tools/quorvane-logserver
warmup=60       # seconds before the memory baseline is taken
interval=10     # seconds between samples
slack_kb=1024   # growth allowed beyond the baseline, and at least 10 %

for p in "$terminal" "$logserver"; do
  [ -x "$p" ] || { echo "soak: $p is not built (BUILD=$build)" >&2; exit 2; }
done
if [ "$seconds" -lt $((warmup + 3 * interval)) ]; then
  echo "soak: at least $((warmup + 3 * interval)) seconds are needed for a baseline and three samples" >&2
  exit 2
fi

work=$(mktemp -d /tmp/quorvane-soak-XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
  exec 3>&- 4>&- 2>/dev/null
  if [ "${SOAK_KEEP:-0}" = 1 ]; then echo "soak: files kept in $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The server on a port that is free: it refuses to start on a taken one.
for attempt in 1 2 3 4 5 6 7 8 9 10; do
  port=$((20000 + RANDOM % 40000))
  "$logserver" -p "$port" -f "$work/server.log" >"$work/server.out" 2>&1 &
  server=$!
  sleep 0.5
  if kill -0 "$server" 2>/dev/null; then break; fi
  wait "$server" 2>/dev/null
  server=
done
[ -n "${server:-}" ] || { echo "soak: the log server did not start" >&2; exit 1; }
pids+=("$server")

mkdir -p "$work/a" "$work/b"
mkfifo "$work/a.in" "$work/b.in"
"$terminal" -s 127.0.0.1 -p "$port" -l opA -f "$work/a" <"$work/a.in" >"$work/a.out" 2>&1 &
ta=$!
pids+=("$ta")
"$terminal" -s 127.0.0.1 -p "$port" -l opB -f "$work/b" <"$work/b.in" >"$work/b.out" 2>&1 &
tb=$!
pids+=("$tb")
# Held open for the whole run: the consoles never see the end of input.
exec 3>"$work/a.in" 4>"$work/b.in"

# Both logged in: each terminal has shown the server's welcome.
for _ in $(seq 50); do
  grep -qs "Welcome, opA." "$work/a.out" && grep -qs "Welcome, opB." "$work/b.out" && break
  sleep 0.2
done
grep -q "Welcome, opA." "$work/a.out" && grep -q "Welcome, opB." "$work/b.out" ||
  { echo "soak: the terminals did not log in" >&2; cat "$work/a.out" "$work/b.out" >&2; exit 1; }

rss() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status" 2>/dev/null || echo 0; }

echo "soak: $seconds s on port $port, samples every $interval s (RSS in KiB)"
printf '%6s %10s %10s %10s %8s\n' second server termA termB lines
s_server=() s_a=() s_b=() s_t=()
sent=0
start=$SECONDS
next_sample=$start
while [ $((SECONDS - start)) -lt "$seconds" ]; do
  # Ten lines each way, then a tenth of a second: about 100 lines/s.
  if [ "${SOAK_QUIET:-0}" != 1 ] || [ $(((SECONDS - start) % 10)) -lt 8 ]; then
    batch_a=
    batch_b=
    for _ in 1 2 3 4 5 6 7 8 9 10; do
      sent=$((sent + 1))
      printf -v n '%07d' "$sent"
      batch_a+="soak-A-$n steady traffic from the console of operator A"$'\n'
      batch_b+="soak-B-$n steady traffic from the term.out of operator B"$'\x01\n'
    done
    printf '%s' "$batch_a" >&3 || { echo "soak: terminal A stopped reading its console" >&2; exit 1; }
    printf '%s' "$batch_b" >>"$work/b/term.out"
  fi
  if [ "$SECONDS" -ge "$next_sample" ]; then
    for pid in "$server" "$ta" "$tb"; do
      kill -0 "$pid" 2>/dev/null || { echo "soak: process $pid ended during the run" >&2; exit 1; }
    done
    i=${#s_t[@]}
    s_t[i]=$((SECONDS - start))
    s_server[i]=$(rss "$server")
    s_a[i]=$(rss "$ta")
    s_b[i]=$(rss "$tb")
    printf '%6d %10d %10d %10d %8d\n' "${s_t[i]}" "${s_server[i]}" "${s_a[i]}" "${s_b[i]}" "$sent"
    next_sample=$((next_sample + interval))
  fi
  sleep 0.1
done

# Let the last lines through: a term.in is written one quiet tick after the
# server stops sending.
sleep 4

status=0
# Largest sample of the warm-up end against the smallest of the last three:
# a leak keeps the floor rising, a passing peak does not count.
judge() { # name, samples...
  local name=$1; shift
  local -a v=("$@")
  local base=0 last=-1 k
  for k in "${!s_t[@]}"; do
    if [ "${s_t[k]}" -ge "$warmup" ] && [ "${s_t[k]}" -lt $((warmup + 3 * interval)) ] && [ "${v[k]}" -gt "$base" ]; then
      base=${v[k]}
    fi
  done
  local n=${#v[@]}
  for k in $((n - 3)) $((n - 2)) $((n - 1)); do
    if [ "$last" -lt 0 ] || [ "${v[k]}" -lt "$last" ]; then last=${v[k]}; fi
  done
  local allowed=$((base / 10 > slack_kb ? base / 10 : slack_kb))
  if [ "$last" -gt $((base + allowed)) ]; then
    echo "soak: FAIL $name grew from $base KiB to $last KiB (allowed $allowed KiB)"
    status=1
  else
    echo "soak: ok   $name $base KiB after warm-up, $last KiB at the end"
  fi
}
judge server "${s_server[@]}"
judge "terminal A" "${s_a[@]}"
judge "terminal B" "${s_b[@]}"

# Every numbered line reached the other side once. Line feeds are taken out
# first: the token is what must arrive, wherever a line was cut.
count() { tr -d '\n\001' <"$1" | grep -o "$2-[0-9]\{7\}" | sort -u | wc -l; }
got_b=$(count "$work/b/term.in" soak-A)
got_a=$(count "$work/a/term.in" soak-B)
for pair in "A->B $got_b" "B->A $got_a"; do
  set -- $pair
  if [ "$2" -ne "$sent" ]; then
    echo "soak: FAIL $1 delivered $2 of $sent lines"
    status=1
  else
    echo "soak: ok   $1 delivered all $sent lines"
  fi
done

printf 'exit\n' >&3
printf 'exit\n' >&4
for pid in "$ta" "$tb"; do
  for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  if kill -0 "$pid" 2>/dev/null; then
    echo "soak: FAIL terminal $pid did not end on exit"
    status=1
  else
    wait "$pid"
    rc=$?
    [ "$rc" -eq 0 ] || { echo "soak: FAIL terminal $pid ended with status $rc"; status=1; }
  fi
done
kill -TERM "$server"
wait "$server"
rc=$?
[ "$rc" -eq 0 ] || { echo "soak: FAIL the log server ended with status $rc"; status=1; }
pids=()

[ "$status" -eq 0 ] && echo "soak: passed" || echo "soak: failed"
exit "$status"
