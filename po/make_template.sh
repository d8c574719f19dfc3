#!/usr/bin/env bash
# make_template.sh OUTPUT SOURCES...: extracts the translatable texts into a
# template. The creation date is left out so the committed template changes
# only when the texts do.
set -euo pipefail
out=$1; shift
xgettext --language=C++ --keyword= --keyword=translate --from-code=UTF-8 \
  --package-name=tolvane --package-version=0.1.0 --no-location --sort-output -o - "$@" \
  | sed '/^"POT-Creation-Date:/d' > "$out"
