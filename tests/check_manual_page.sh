#!/usr/bin/env bash
# check_manual_page.sh PAGE [NEEDLE...]: fails on any warning from groff or
# man, and unless the page documents every outcome of the command: the
# NEEDLEs when given, else those of tv-mkprofile.
set -u
page=$1
warnings=$( { groff -ww -man -z "$page"; MANWIDTH=80 man --warnings -E UTF-8 -l "$page" >/dev/null; } 2>&1)
if [ -n "$warnings" ]; then
  echo "$warnings"
  exit 1
fi
text=$(MANWIDTH=200 man -E UTF-8 -l "$page" 2>/dev/null)
missing=0
if (($# > 1)); then
  for needle in "${@:2}"; do
    grep -qF -- "$needle" <<<"$text" || { echo "not documented: $needle"; missing=1; }
  done
  exit $missing
fi
for needle in "Usage" "already exists!" "is not invalid filepath!" "create failed. maybe you need run as root!" \
              "created!" "254" "255" "/etc/tolvane.d" "0.0.1 flags=(complain)" "allow * * rwxd" "mode is 0644 less the umask" \
              ".tv-mkprofile-PID-N" "can be removed at any time" "SIGKILL"; do
  grep -qF -- "$needle" <<<"$text" || { echo "not documented: $needle"; missing=1; }
done
exit $missing
