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
  for f in test_rig/tolvane-sandbox test_rig/tolvane-notify-host test_rig/tolvane-test-notification-server \
           test_rig/tolvane-test-logind test_rig/tolvane-real-logind notify_plugin/libtolvane-notify.so \
           notify_check/tolvane-notify-check; do
    [[ -x $build/$f || -f $build/$f ]] || { echo "missing $build/$f: run bash scripts/build.sh plain" >&2; exit 1; }
  done
  exec "$build/test_rig/tolvane-sandbox" bash "$0" --inside "$build"
fi

# ---- inside the sandbox ----------------------------------------------------
build=$2
host=$build/test_rig/tolvane-notify-host
server=$build/test_rig/tolvane-test-notification-server
logind=$build/test_rig/tolvane-test-logind
real_logind=$build/test_rig/tolvane-real-logind
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

mkfifo "$work/logind.in"
read -r _ uid_outside uid_count < /proc/self/uid_map
# The real one runs a system bus as root: the host's root, not a user namespace's.
if [[ -x /lib/systemd/systemd-logind && $uid_outside == 0 && $uid_count == 4294967295 ]]; then
  say "systemd-logind comes up on a system bus of its own"
  # The real one, in a namespace of its own, with a stand-in for the service
  # manager: a Suspend call makes it announce the sleep, the end of the
  # suspend job the resume.
  mkdir "$work/real-logind"
  "$real_logind" "$work/real-logind" < "$work/logind.in" > "$work/logind.out" &
  logind_pid=$!
  exec 4> "$work/logind.in"
  wait_lines "$work/logind.out" 2   # its bus's address, then "monitoring"
  DBUS_SYSTEM_BUS_ADDRESS=$(sed -n 's/^address //p' "$work/logind.out")
  export DBUS_SYSTEM_BUS_ADDRESS
  logind_lines=2
  sleep_step=suspend resume_step=resume
else
  say "logind comes up on the system bus (a stand-in: systemd-logind is not installed)"
  "$logind" < "$work/logind.in" > "$work/logind.out" &
  logind_pid=$!
  exec 4> "$work/logind.in"
  wait_lines "$work/logind.out" 1   # "monitoring": it watches for subscribers
  logind_lines=1
  sleep_step=true resume_step=false
fi
echo "   (it watches the bus for the plug-in's subscription to PrepareForSleep)"

# logind_step STEP: a suspend or a resume, told to logind.
logind_step() {
  case $1 in
    suspend) printf '\n-> the user suspends the machine (Suspend, to systemd-logind)\n' ;;
    resume) printf '\n-> the machine wakes up (the suspend job ends)\n' ;;
    *) printf '\n-> logind: PrepareForSleep %s\n' "$1" ;;
  esac
  echo "$1" >&4
  wait_lines "$work/logind.out" $((++logind_lines))
}

# wait_silenced: the plug-in logs the sleep just before it turns its switch
# off; once off, its monitor waits for signals with a time limit (a ppoll
# whose third argument, the limit, is not null).
wait_silenced() {
  local i
  for ((i = 0; i < 200; i++)); do
    awk '$1 == 271 && $4 != "0x0" { found = 1 } END { exit !found }' /proc/"$host_pid"/task/*/syscall 2>/dev/null && return 0
    sleep 0.05
  done
  echo "(gave up waiting for the switch)" >&2
  return 1
}

say "The module is loaded: the host registers the plug-in, which waits for records"
mkfifo "$notify_file"
"$host" "$plugin" > "$work/host.out" &
host_pid=$!
exec 3> "$notify_file"   # opens once the plug-in has opened its end
wait_lines "$work/logind.out" $((++logind_lines))   # the plug-in's sleep monitor has subscribed
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
logind_step "$sleep_step"
wait_lines "$syslog" 2
show_new_log_lines
wait_silenced
event /home/ann/Videos/party.mp4 /usr/bin/vlc no "silenced while the machine sleeps"
logind_step "$resume_step"
wait_lines "$syslog" 3
resumed_at=$(date +%s%N)
show_new_log_lines
event /home/ann/Videos/party.mp4 /usr/bin/vlc no "the desktop gets two seconds to come back"
# The same access again and again, until it shows: the silenced ones left no
# trace in the rate limit.
printf '\n-> the module blocks /usr/bin/vlc from /home/ann/Videos/party.mp4, again and again\n'
calls=$((calls + 1))
until (( $(wc -l < "$work/calls") >= calls )); do
  record /home/ann/Videos/party.mp4 /usr/bin/vlc >&3
  sleep 0.1
done
show_new_notifications
printf '   (shown again %s s after the resume)\n' \
  "$(awk -v a="$resumed_at" -v b="$(date +%s%N)" 'BEGIN { printf "%.1f", (b - a) / 1e9 }')"

say "The notification server goes away; the next blocked access can only be logged"
kill "$server_pid"; wait "$server_pid" 2>/dev/null || true
event /home/ann/Desktop/notes.txt /usr/bin/gedit no "nobody shows it"
wait_lines "$syslog" 4
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
