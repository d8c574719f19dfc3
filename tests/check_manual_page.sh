#!/usr/bin/env bash
# check_manual_page.sh PAGE [--log-lines HEADER] [NEEDLE...]: fails on any
# warning from groff or man, and unless the page says every NEEDLE (when none
# is given, the outcomes of tv-mkprofile) and, with --log-lines, every log
# line of HEADER's table: its number, its fixed text, and one word wherever
# the format takes an argument.
#
# What is checked is what the page says, not how one release's groff sets
# it: the page is rendered without hyphenation or justification, and both it
# and the needles are read with every run of white space as one space, a
# line broken after a hyphen joined again, and every kind of dash, hyphen,
# minus and quote as its plain ASCII form.
set -u
page=$1
shift
header=""
if [ "${1:-}" = --log-lines ]; then
  header=$2
  shift 2
fi
warnings=$( { groff -ww -man -z "$page"; MANWIDTH=80 man --warnings -E UTF-8 -l "$page" >/dev/null; } 2>&1)
if [ -n "$warnings" ]; then
  echo "$warnings"
  exit 1
fi

# Standard input as one line of plain text.
plain() {
  sed -E -e 's/‐|‑|‒|–|—|―|−/-/g' -e "s/‘|’|‚|′|´|\`/'/g" -e 's/“|”|„|″/"/g' -e 's/ / /g' |
    sed -e ':join' -e '/-$/{N;s/-\n[[:space:]]*/-/;b join' -e '}' | tr -s '[:space:]' ' '
}
text=$(MANWIDTH=200 man --nh --nj -E UTF-8 -l "$page" 2>/dev/null | plain)
if [ -z "$text" ]; then
  echo "man rendered nothing of $page"
  exit 1
fi
missing=0
says() { grep -qF -- "$(plain <<<"$1" | sed 's/ $//')" <<<"$text" || { echo "not documented: $1"; missing=1; }; }

if (($# == 0)) && [ -z "$header" ]; then
  set -- "Usage" "already exists!" "is not invalid filepath!" "create failed. maybe you need run as root!" \
    "created!" "254" "255" "/etc/tolvane.d" "0.0.1 flags=(complain)" "allow * * rwxd" "mode is 0644 less the umask" \
    ".tv-mkprofile-RANDOM" "can be removed at any time" "SIGKILL" "FILE SYSTEMS" "removes every regular file"
fi
for needle in "$@"; do says "$needle"; done

if [ -n "$header" ]; then
  # Each line of the table, LogLine<...> NAME{NUMBER, "FORMAT"} (the format
  # may be split into literals), as NUMBER TAB FORMAT.
  mapfile -t lines < <(tr '\n' ' ' <"$header" | sed 's/" *"//g' |
    grep -oE 'inline constexpr LogLine<[^>]*> *[a-z_]+ *\{ *[0-9]+ *, *"([^"\\]|\\.)*" *\}' |
    sed -E 's/.*\{ *([0-9]+) *, *"(.*)" *\}$/\1\t\2/')
  declared=$(grep -c 'inline constexpr LogLine<' "$header")
  if ((${#lines[@]} == 0 || ${#lines[@]} != declared)); then
    echo "read ${#lines[@]} log lines from $header, which declares $declared"
    exit 1
  fi
  for line in "${lines[@]}"; do
    number=${line%%$'\t'*}
    format=${line#*$'\t'}
    format=${format%\\n}
    # notify(N)-> and the fixed text, with one word for each argument.
    pattern=$(plain <<<"${format/#%s(%d)-> /notify($number)-> }" | sed -e 's/ $//' -e 's/[][\.*^$(){}+?|/]/\\&/g' \
      -e 's/%[sdm]/[^ ]+/g')
    grep -qE -- "$pattern" <<<"$text" || { echo "not documented: line $number, $format"; missing=1; }
  done
fi
exit $missing
