#!/usr/bin/env bash
# Shows the notification plug-in at work, the way a user and an
# administrator would see it, without touching the machine: everything runs
# inside tolvane-sandbox (private /dev, /run and /sys/kernel/security, private
# buses), and the sandbox removes what it made when the demonstration ends.
#
#   bash scripts/demo_notify.sh [BUILD_DIR]      (default: build/plain)
#
# Needs a build: bash scripts/setup.sh && bash scripts/build.sh plain
set -euo pipefail
cd "$(dirname "$0")/.."

if [[ ${1:-} != --inside ]]; then
  build=$(realpath "${1:-build/plain}")
  for f in tools/tolvane-sandbox tools/tolvane-notify-host tools/tolvane-test-notification-server \
           tools/tolvane-test-logind notify_plugin/libtolvane-notify.so notify_check/tolvane-notify-check; do
    [[ -x $build/$f || -f $build/$f ]] || { echo "missing $build/$f: run bash scripts/build.sh plain" >&2; exit 1; }
  done
  exec "$build/tools/tolvane-sandbox" bash "$0" --inside "$build"
fi

# ---- inside the sandbox ----------------------------------------------------
build=$2
host=$build/tools/tolvane-notify-host
server=$build/tools/tolvane-test-notification-server
logind=$build/tools/tolvane-test-logind
plugin=$build/notify_plugin/libtolvane-notify.so
notify_file=/sys/kernel/security/tolvane/.notify
work=$TOLVANE_SANDBOX_DIR
syslog=$TOLVANE_SANDBOX_SYSLOG
export LC_ALL=C

say() { if [[ -t 1 ]]; then printf '\n\033[1m== %s\033[0m\n' "$*"; else printf '\n== %s\n' "$*"; fi; }

# wait_lines FILE N: waits (up to 10 s) until FILE has at least N lines.
wait_lines() {
  local i
  for ((i = 0; i < 200; i++)); do
    (( $(wc -l < "$1" 2>/dev/null || echo 0) >= $2 )) && return 0
    sleep 0.05
  done
  echo "(gave up waiting for $1)" >&2
  return 1
}

shown_log=0
show_new_log_lines() {
  local total; total=$(wc -l < "$syslog")
  if (( total > shown_log )); then
    tail -n +"$((shown_log + 1))" "$syslog" | sed 's/^/   syslog: /'
  else
    echo "   (nothing logged)"
  fi
  shown_log=$total
}

shown_screen=0
show_new_notifications() {
  local total; total=$(wc -l < "$work/screen")
  tail -n +"$((shown_screen + 1))" "$work/screen" | grep -v '^ready$' | sed 's/^/   /' || true
  shown_screen=$total
}

# record OBJECT PROGRAM: one 1024-byte record of the notification file, each
# text NUL-padded to its 512-byte field.
record() {
  printf '%s' "$1"; head -c $((512 - ${#1})) /dev/zero
  printf '%s' "$2"; head -c $((512 - ${#2})) /dev/zero
}

calls=0
# event OBJECT PROGRAM NOTIFIED: feeds one record; when NOTIFIED is yes,
# waits for the notification to appear on the "screen".
event() {
  printf '\n-> the module blocks %s from %s\n' "$2" "$1"
  record "$1" "$2" >&3
  if [[ $3 == yes ]]; then
    calls=$((calls + 1))
    wait_lines "$work/calls" "$calls"
    show_new_notifications
  else
    echo "   (no notification: $4)"
  fi
}

say "The host loads the plug-in before the kernel module has made its notification file"
"$host" "$plugin" | sed 's/^/   host: /'
wait_lines "$syslog" 1
show_new_log_lines

say "A desktop notification server comes up on the user's bus"
"$server" --pretty --record "$work/calls" > "$work/screen" &
server_pid=$!
wait_lines "$work/screen" 1
head -1 "$work/screen" | sed 's/^/   server: /'
shown_screen=1
touch "$work/calls"

say "logind comes up on the system bus"
mkfifo "$work/logind.in"
"$logind" < "$work/logind.in" > "$work/logind.out" &
logind_pid=$!
exec 4> "$work/logind.in"
wait_lines "$work/logind.out" 1   # "monitoring": it watches for subscribers

# sleep_signal true|false: logind announces a suspend or a resume.
sleep_signal() {
  printf '\n-> logind: PrepareForSleep %s\n' "$1"
  echo "$1" >&4
  wait_lines "$work/logind.out" $((++logind_lines))
}

say "The module is loaded: the host registers the plug-in, which waits for records"
mkfifo "$notify_file"
"$host" "$plugin" > "$work/host.out" &
host_pid=$!
exec 3> "$notify_file"   # opens once the plug-in has opened its end
wait_lines "$work/logind.out" 2   # the plug-in's sleep monitor has subscribed
logind_lines=2
echo "   (the plug-in's sleep monitor listens for PrepareForSleep)"

say "The user asks tolvane-notify-check whether notifications can appear, and for a test one"
# The check looks for the plug-in where this build installs it: put it there,
# in this sandbox only, over an overlay of the deepest directory that exists.
check=$build/notify_check/tolvane-notify-check
prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")
plugin_dir=$(sed -n 's/^TOLVANE_PLUGIN_DIR:[A-Z]*=//p' "$build/CMakeCache.txt")
[[ $plugin_dir == /* ]] || plugin_dir=$prefix/$plugin_dir
existing=$plugin_dir
while [[ ! -d $existing ]]; do existing=$(dirname "$existing"); done
mkdir -p "$work/plugin-upper" "$work/plugin-work"
mount -t overlay overlay -o "lowerdir=$existing,upperdir=$work/plugin-upper,workdir=$work/plugin-work" "$existing"
mkdir -p "$plugin_dir" && cp "$plugin" "$plugin_dir/"
# run_check ARGS...: runs the check as the user would, with its exit status.
run_check() {
  local status=0
  printf '\n$ tolvane-notify-check%s\n' "${1:+ $*}"
  "$check" "$@" | sed 's/^/   /' || status=$?
  echo "   (exit status $status)"
}
run_check --send-test
calls=$((calls + 1))
wait_lines "$work/calls" "$calls"
show_new_notifications

say "Blocked accesses reach the user"
event /dev/video0 /usr/bin/cheese yes
event /home/ann/Documents/tax-2026.ods /usr/bin/libreoffice yes
event /home/ann/Documents/tax-2026.ods /usr/bin/libreoffice no "the same program and file within a minute"
event /dev/video1 /usr/bin/cheese no "video0 and video1 are one camera"
event /etc/shadow /usr/bin/cat no "not a camera and not a private folder of a home"
event /home/ann/Pictures/holiday.jpg "/opt/Photo Tool/phototool" yes

say "The machine suspends: nothing pops up until two seconds after it resumes"
sleep_signal true
wait_lines "$syslog" 2
show_new_log_lines
event /home/ann/Videos/party.mp4 /usr/bin/vlc no "silenced while the machine sleeps"
sleep_signal false
# The monitor handles one signal after the other, the two-second pause
# included: the line about a malformed signal sent next shows that the pause
# is over.
echo "   (then a malformed PrepareForSleep: its error line comes only once the pause is over)"
echo bad >&4
wait_lines "$work/logind.out" $((++logind_lines))
wait_lines "$syslog" 4
show_new_log_lines
event /home/ann/Videos/party.mp4 /usr/bin/vlc yes

say "The notification server goes away; the next blocked access can only be logged"
kill "$server_pid"; wait "$server_pid" 2>/dev/null || true
event /home/ann/Desktop/notes.txt /usr/bin/gedit no "nobody shows it"
wait_lines "$syslog" 5
show_new_log_lines
run_check

say "The module closes the notification file: the reader ends"
exec 3>&-
wait "$host_pid"
sed 's/^/   host: /' "$work/host.out"
exec 4>&-
wait "$logind_pid"

say "Everything the plug-in logged (exact datagrams sent to /dev/log)"
sed 's/^/   /' "$syslog"
