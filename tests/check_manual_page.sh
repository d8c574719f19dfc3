#!/usr/bin/env bash
# check_manual_page.sh PAGE: fails on any warning from groff or man, and
# unless the page documents every outcome of its command.
set -u
page=$1
warnings=$( { groff -ww -man -z "$page"; MANWIDTH=80 man --warnings -E UTF-8 -l "$page" >/dev/null; } 2>&1)
if [ -n "$warnings" ]; then
  echo "$warnings"
  exit 1
fi
case $(basename "$page") in
  tv-mkprofile.8)
    needles=("Usage" "already exists!" "is not invalid filepath!" "create failed. maybe you need run as root!"
             "created!" "254" "255" "/etc/tolvane.d" "0.0.1 flags=(complain)" "allow * * rwxd") ;;
  tolvane-notify-check.1)
    needles=("--send-test" "ok" "WARN" "FAIL" "plug-in:" "notification file:" "user bus:" "notification server:"
             "sleep monitor:" "language:" "test notification:" "/sys/kernel/security/tolvane/.notify"
             "org.orbisk.ovx.Notification1" "susssasa{sv}i" "org.freedesktop.login1" "DBUS_SESSION_BUS_ADDRESS"
             "XDG_RUNTIME_DIR" "EXIT STATUS") ;;
  *) echo "no list of what $page must document"; exit 1 ;;
esac
text=$(MANWIDTH=200 man -E UTF-8 -l "$page" 2>/dev/null)
missing=0
for needle in "${needles[@]}"; do
  grep -qF -- "$needle" <<<"$text" || { echo "not documented: $needle"; missing=1; }
done
exit $missing
