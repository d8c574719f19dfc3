#!/usr/bin/env bash
# check_translations.sh PO_DIR SOURCES...: fails when the committed template
# differs from what the sources give, or a catalogue misses a translation.
set -euo pipefail
dir=$1; shift
fresh=$(mktemp)
trap 'rm -f "$fresh"' EXIT
"$dir/make_template.sh" "$fresh" "$@"
if ! diff -u "$dir/tolvane.pot" "$fresh"; then
  echo "po/tolvane.pot is out of date: run the update-pot target"
  exit 1
fi
while read -r lang; do
  msgcmp "$dir/$lang.po" "$dir/tolvane.pot"
done < "$dir/LINGUAS"
echo "template current, every catalogue complete"
