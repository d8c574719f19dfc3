#!/usr/bin/env bash
# check_hardening_selftest.sh CHECK CXX: builds a tiny program and a tiny
# shared object, hardened and then with one protection taken away at a time,
# and fails unless CHECK passes the hardened ones and reports exactly the
# protections that were taken away from each of the others; a hardened
# program whose header names a machine the check does not know must fail it.
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
# The machine's own control-flow protection, as CMakeLists.txt asks for it.
machine=$($cxx -dumpmachine)
machine=${machine%%-*}
hardened_compile="-O2 -fPIC -fstack-protector-strong -fstack-clash-protection -D_FORTIFY_SOURCE=3"
hardened_link="-Wl,-z,relro -Wl,-z,now -Wl,-z,noexecstack"
case $machine in
  x86_64) hardened_compile+=" -fcf-protection=full" machine_marks="ibt shstk" ;;
  aarch64) hardened_compile+=" -mbranch-protection=standard" machine_marks="" ;;
  *) machine_marks="" ;;
esac

# set_elf_machine FILE NUMBER: the ELF header's machine (two bytes at offset
# 18, in the byte order the header's sixth byte gives) made NUMBER.
set_elf_machine() {
  local low high
  low=$(printf '\\%03o' $(($2 & 255))) high=$(printf '\\%03o' $(($2 >> 8)))
  if [ "$(od -An -tu1 -j5 -N1 "$1" | tr -d ' ')" = 2 ]; then printf "$high$low"; else printf "$low$high"; fi |
    dd of="$1" bs=1 seek=18 conv=notrunc status=none
}

fail=0
row=0
rows=0
# NAME | MACHINE (any, or the only one the row is for) | KIND (program,
# shared, or sparc64: a program whose header then says SPARC V9) | extra
# compile flags | extra link flags | feature marks asked of the linker
# (empty: the machine's own; -: none) | labels expected MISSING, ';'-separated
while IFS='|' read -r name for_machine kind compile link marks expected; do
  row=$((row + 1))
  [ "$for_machine" = any ] || [ "$for_machine" = "$machine" ] || continue
  rows=$((rows + 1))
  dir=$scratch/$row
  mkdir -p "$dir"
  if [ "$kind" = shared ]; then out=$dir/libtiny.so kind_flags="-shared"; else out=$dir/tiny kind_flags="-pie"; fi
  case $marks in -) marks="" ;; "") marks=$machine_marks ;; esac
  mark_flags=""
  for mark in $marks; do mark_flags+=" -Wl,-z,$mark"; done
  command="$cxx $hardened_compile $compile -o $dir/tiny.o -c $scratch/tiny.cpp"
  printf '[\n{\n  "directory": "%s",\n  "command": "%s",\n  "file": "%s"\n}\n]\n' \
    "$dir" "$command" "$scratch/tiny.cpp" >"$dir/compile_commands.json"
  if ! $command 2>"$dir/log" || ! $cxx $kind_flags $hardened_link $link $mark_flags -o "$out" "$dir/tiny.o" 2>>"$dir/log"; then
    echo "FAILED: $name does not build"; cat "$dir/log"; fail=1; continue
  fi
  [ "$kind" != sparc64 ] || set_elf_machine "$out" 43
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
hardened program|any|program||||
hardened shared object|any|shared||||
machine not known|any|sparc64||||protections known for the machine
not position-independent|any|program|-fno-PIC -fno-PIE|-no-pie||tiny: position-independent
lazy binding|any|program||-Wl,-z,lazy||tiny: immediate binding
no read-only relocations|any|program||-Wl,-z,norelro||tiny: read-only relocations
executable stack|any|program||-Wl,-z,execstack||tiny: non-executable stack
shared object with lazy binding|any|shared||-Wl,-z,lazy||libtiny.so: immediate binding
shared object with executable stack|any|shared||-Wl,-z,execstack||libtiny.so: non-executable stack
no stack protector|any|program|-fno-stack-protector|||tiny.cpp: strong stack protector;tiny: stack protector
weaker stack protector|any|program|-fstack-protector|||tiny.cpp: strong stack protector
no stack clash protection|any|program|-fno-stack-clash-protection|||tiny.cpp: stack clash protection
not fortified|any|program|-U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=0|||tiny.cpp: _FORTIFY_SOURCE=3;tiny: fortified libc calls
fortified at level 2|any|program|-U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=2|||tiny.cpp: _FORTIFY_SOURCE=3
not optimised|any|program|-O0|||tiny.cpp: optimisation;tiny: fortified libc calls
without the feature marks|x86_64|program|||-|tiny: IBT mark;tiny: SHSTK mark
no control-flow protection|x86_64|program|-fcf-protection=none|||tiny.cpp: -fcf-protection=full
return protection only|x86_64|program|-fcf-protection=return||shstk|tiny.cpp: -fcf-protection=full;tiny: IBT mark
no branch protection|aarch64|program|-mbranch-protection=none|||tiny.cpp: -mbranch-protection=standard;tiny.o: BTI mark;tiny.o: PAC mark
signed return addresses only|aarch64|program|-mbranch-protection=pac-ret|||tiny.cpp: -mbranch-protection=standard;tiny.o: BTI mark
landing pads only|aarch64|shared|-mbranch-protection=bti|||tiny.cpp: -mbranch-protection=standard;tiny.o: PAC mark
EOF
echo "$rows cases for $machine"
exit $fail
