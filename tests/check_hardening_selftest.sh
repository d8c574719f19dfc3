#!/usr/bin/env bash
# check_hardening_selftest.sh CHECK CXX: builds a tiny program and a tiny
# shared object, hardened and then with one protection taken away at a time,
# and fails unless CHECK passes the hardened ones and reports exactly the
# protections that were taken away from each of the others.
set -u
check=$1 cxx=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cat >"$scratch/tiny.cpp" <<'EOF'
#include <unistd.h>
// A stack array for the protector, and a read of a length known only at run
// time into it, which fortification turns into a checked call.
extern "C" int tiny(int fd, size_t length)
{
    char buf[32];
    return static_cast<int>(read(fd, buf, length)) + buf[0];
}
int main(int argc, char**) { return tiny(0, static_cast<size_t>(argc)); }
EOF
hardened_compile="-O2 -fPIC -fstack-protector-strong -fcf-protection=full -D_FORTIFY_SOURCE=3"
hardened_link="-Wl,-z,relro -Wl,-z,now -Wl,-z,noexecstack"

fail=0
row=0
# NAME | KIND (program or shared) | extra compile flags | extra link flags |
# x86 feature marks asked of the linker | labels expected MISSING, ';'-separated
while IFS='|' read -r name kind compile link marks expected; do
  row=$((row + 1))
  dir=$scratch/$row
  mkdir -p "$dir"
  if [ "$kind" = shared ]; then out=$dir/libtiny.so kind_flags="-shared"; else out=$dir/tiny kind_flags="-pie"; fi
  mark_flags=""
  for mark in $marks; do mark_flags+=" -Wl,-z,$mark"; done
  command="$cxx $hardened_compile $compile -o $dir/tiny.o -c $scratch/tiny.cpp"
  printf '[\n{\n  "directory": "%s",\n  "command": "%s",\n  "file": "%s"\n}\n]\n' \
    "$dir" "$command" "$scratch/tiny.cpp" >"$dir/compile_commands.json"
  if ! $command 2>"$dir/log" || ! $cxx $kind_flags $hardened_link $link $mark_flags -o "$out" "$dir/tiny.o" 2>>"$dir/log"; then
    echo "FAILED: $name does not build"; cat "$dir/log"; fail=1; continue
  fi
  report=$(bash "$check" "$dir/compile_commands.json" '/tiny\.cpp$' "$out")
  status=$?
  missing=$(sed -n 's/^MISSING: //p' <<<"$report" | awk -F ' -- ' '{ print $1 }' | sort)
  want=$(tr ';' '\n' <<<"$expected" | sed '/^$/d' | sort)
  if [ "$missing" != "$want" ] || { [ -n "$want" ] && [ $status = 0 ]; } || { [ -z "$want" ] && [ $status != 0 ]; }; then
    echo "FAILED: $name (status $status)"; diff <(echo "$want") <(echo "$missing"); echo "$report"; fail=1
  else
    echo "ok: $name"
  fi
done <<'EOF'
hardened program|program|||ibt shstk|
hardened shared object|shared|||ibt shstk|
not position-independent|program|-fno-PIC -fno-PIE|-no-pie|ibt shstk|tiny: position-independent
lazy binding|program||-Wl,-z,lazy|ibt shstk|tiny: immediate binding
no read-only relocations|program||-Wl,-z,norelro|ibt shstk|tiny: read-only relocations
executable stack|program||-Wl,-z,execstack|ibt shstk|tiny: non-executable stack
shared object with lazy binding|shared||-Wl,-z,lazy|ibt shstk|libtiny.so: immediate binding
shared object with executable stack|shared||-Wl,-z,execstack|ibt shstk|libtiny.so: non-executable stack
without the feature marks|program||||tiny: IBT mark;tiny: SHSTK mark
no control-flow protection|program|-fcf-protection=none||ibt shstk|tiny.cpp: -fcf-protection=full
return protection only|program|-fcf-protection=return||shstk|tiny.cpp: -fcf-protection=full;tiny: IBT mark
no stack protector|program|-fno-stack-protector||ibt shstk|tiny.cpp: strong stack protector;tiny: stack protector
weaker stack protector|program|-fstack-protector||ibt shstk|tiny.cpp: strong stack protector
not fortified|program|-U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=0||ibt shstk|tiny.cpp: _FORTIFY_SOURCE=3;tiny: fortified libc calls
fortified at level 2|program|-U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=2||ibt shstk|tiny.cpp: _FORTIFY_SOURCE=3
not optimised|program|-O0||ibt shstk|tiny.cpp: optimisation;tiny: fortified libc calls
EOF
exit $fail
