#!/usr/bin/env bash
# check_translations.sh PO_DIR SOURCES...: fails when the committed template
# differs from what the sources give, a catalogue misses a translation, or a
# translation drops the leading space of its text (the summary suffixes follow
# the program's path directly).
set -euo pipefail
dir=$1; shift
fresh=$(mktemp)
trap 'rm -f "$fresh"' EXIT
"$dir/make_template.sh" "$fresh" "$@"
if ! diff -u "$dir/tolvane.pot" "$fresh"; then
  echo "po/tolvane.pot is out of date: run the update-pot target"
  exit 1
fi
keeps_leading_space='case $MSGEXEC_MSGID in " "*)
  IFS= read -r text || true
  case $text in " "*) ;; *) echo "$MSGEXEC_LOCATION: the translation of \"$MSGEXEC_MSGID\" lost its leading space" >&2; exit 1 ;; esac
esac'
while read -r lang; do
  msgcmp "$dir/$lang.po" "$dir/tolvane.pot"
  msgexec -i "$dir/$lang.po" sh -c "$keeps_leading_space"
done < "$dir/LINGUAS"
echo "template current, every catalogue complete, leading spaces kept"
