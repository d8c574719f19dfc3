#!/usr/bin/env bash
# Soak run of the notification plug-in, not part of the test command: one
# million records of mixed kinds pushed through a FIFO as fast as the plug-in
# takes them, with a notification server that answers every call, all inside
# tolvane-sandbox (nothing on the machine is touched). Reports the records per
# second, the notifications sent against the ones expected, the host's peak
# memory (VmHWM) and whether the reader handed on every record and ended
# with KRMRegister returning 0.
#
#   bash scripts/soak.sh [BUILD_DIR] [RECORDS]      (default: build/plain 1000000)
#
# Needs a build: bash scripts/build.sh plain
set -euo pipefail
cd "$(dirname "$0")/.."

if [[ ${1:-} != --inside ]]; then
  build=$(realpath "${1:-build/plain}")
  for f in test_rig/tolvane-sandbox test_rig/tolvane-notify-host test_rig/tolvane-test-notification-server \
           test_rig/tolvane-soak-feed notify_plugin/libtolvane-notify.so; do
    [[ -e $build/$f ]] || { echo "missing $build/$f: run bash scripts/build.sh plain" >&2; exit 1; }
  done
  exec "$build/test_rig/tolvane-sandbox" bash "$0" --inside "$build" "${2:-1000000}"
fi

# ---- inside the sandbox ----------------------------------------------------
build=$2
records=$3
work=$TOLVANE_SANDBOX_DIR
notify_file=/sys/kernel/security/tolvane/.notify
export LC_ALL=C

# wait_for DESCRIPTION COMMAND...: polls COMMAND for up to 10 minutes.
wait_for() {
  local what=$1 i; shift
  for ((i = 0; i < 6000; i++)); do
    "$@" && return 0
    sleep 0.1
  done
  echo "soak: gave up waiting for $what" >&2
  exit 1
}

mkfifo "$work/server.out" "$work/host.in"
"$build/test_rig/tolvane-test-notification-server" --record "$work/calls" > "$work/server.out" &
server_pid=$!
read -r ready < "$work/server.out"
[[ $ready == ready ]] || { echo "soak: the notification server did not start" >&2; exit 1; }
touch "$work/calls"

# The reader runs on a thread of its own, so that the host outlives it and
# its peak memory can be read once every record has gone through; a line on
# its standard input then lets it finish.
mkfifo "$notify_file"
"$build/test_rig/tolvane-notify-host" --while-reading unregister "$build/notify_plugin/libtolvane-notify.so" \
  < "$work/host.in" > "$work/host.out" &
host_pid=$!
exec 4> "$work/host.in"

start=$(date +%s.%N)
"$build/test_rig/tolvane-soak-feed" "$records" > "$notify_file" 2> "$work/feed.out"
written=$(date +%s.%N)
# Main thread, reader and monitor while reading; the reader's thread ends at
# the end of the file.
reader_ended() { (( $(ls "/proc/$host_pid/task" | wc -l) < 3 )); }
wait_for "the reader to end" reader_ended
ended=$(date +%s.%N)
hwm=$(awk '/^VmHWM:/ {print $2 " " $3}' "/proc/$host_pid/status")
echo >&4
exec 4>&-
wait "$host_pid"
kill "$server_pid"; wait "$server_pid" 2>/dev/null || true

read -r _ fed _ expected < "$work/feed.out"
sent=$(wc -l < "$work/calls")
distinct=$(sort -u "$work/calls" | wc -l)
logged=$(wc -l < "$TOLVANE_SANDBOX_SYSLOG" 2>/dev/null || echo 0)
result=$(grep -c '^KRMRegister returned 0$' "$work/host.out" || true)
rate=$(awk -v n="$fed" -v a="$start" -v b="$ended" 'BEGIN {printf "%.0f", n / (b - a)}')
awk -v a="$start" -v b="$written" -v c="$ended" \
  'BEGIN {printf "writer finished after %.1f s, reader ended after %.1f s\n", b - a, c - a}'
echo "records written: $fed ($rate records/s)"
echo "notifications sent: $sent, distinct: $distinct (expected $expected)"
echo "host peak memory (VmHWM): $hwm"
echo "log lines: $logged"
echo "KRMRegister returned 0: $([[ $result == 1 ]] && echo yes || echo no)"
[[ $fed == "$records" && $sent == "$expected" && $distinct == "$expected" && $result == 1 && $logged == 0 ]]
