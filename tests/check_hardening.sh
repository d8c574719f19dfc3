#!/usr/bin/env bash
# check_hardening.sh COMPILE_COMMANDS SOURCE_REGEX BINARY...
# Fails unless every compile command of a source whose path matches
# SOURCE_REGEX (extended) ends up with optimisation, _FORTIFY_SOURCE=3, a
# strong stack protector, stack clash protection and the machine's
# control-flow protection, and unless every BINARY is a PIE (or a shared
# object) with full RELRO, a non-executable stack, stack protection and at
# least one fortified libc call. The machine is the first BINARY's, one of
# Debian's 64-bit release architectures:
#   x86-64     -fcf-protection=full, and the IBT and SHSTK marks on every BINARY;
#   AArch64    -mbranch-protection=standard, and the BTI and PAC marks on every
#              object compiled (the binaries cannot carry them: see CMakeLists.txt);
#   PowerPC64, S/390, RISC-V and MIPS64 (ppc64el, s390x, riscv64, mips64el):
#              nothing more, as GCC (14 for RISC-V) has no control-flow
#              protection for them;
# any other machine fails the check: its protections are not known here.
# Prints one "ok: LABEL" or "MISSING: LABEL -- detail" line per property.
set -u
commands=$1 pattern=$2
shift 2
fail=0
verdict() { # LABEL PROBLEM: an empty PROBLEM is a pass
  if [ -z "$2" ]; then echo "ok: $1"; else echo "MISSING: $1 -- $2"; fail=1; fi
}

# Of several options of one kind, the compiler obeys the last.
last_option() { tr ' ' '\n' <<<"$2" | grep -xE -- "$1" | tail -n1; }
expect_last() { # LABEL REGEX COMMAND ACCEPTED...
  local label=$1 regex=$2 command=$3 got
  shift 3
  got=$(last_option "$regex" "$command")
  for accepted in "$@"; do
    [ "$got" = "$accepted" ] && { verdict "$label" ""; return; }
  done
  verdict "$label" "last is '${got:-none}'"
}

# readelf reads the ELF files of every machine, not only its own.
elf_machine=$(readelf -h "${1:-}" 2>/dev/null | sed -n 's/^ *Machine: *//p')
case $elf_machine in
  *X86-64) machine=x86_64 ;;
  AArch64) machine=aarch64 ;;
  PowerPC64 | "IBM S/390" | RISC-V | "MIPS R3000") machine=common ;;
  *) machine=unknown ;;
esac
verdict "protections known for the machine" "$([ $machine != unknown ] || echo "machine '${elf_machine:-none}'")"

checked=0
while IFS= read -r command; do
  source=$(sed -E 's/.* -c ([^ ]+)",?$/\1/' <<<"$command")
  grep -qE -- "$pattern" <<<"$source" || continue
  checked=$((checked + 1))
  name=${source##*/}
  expect_last "$name: _FORTIFY_SOURCE=3" '-[DU]_FORTIFY_SOURCE(=[^ ]*)?' "$command" -D_FORTIFY_SOURCE=3
  # Fortification does nothing without optimisation.
  expect_last "$name: optimisation" '-O[^ ]*' "$command" -O -O1 -O2 -O3 -Os -Og -Oz -Ofast
  expect_last "$name: strong stack protector" '-f(no-)?stack-protector(-[a-z]+)?' "$command" \
    -fstack-protector-strong -fstack-protector-all
  expect_last "$name: stack clash protection" '-f(no-)?stack-clash-protection' "$command" -fstack-clash-protection
  case $machine in
    x86_64)
      expect_last "$name: -fcf-protection=full" '-fcf-protection(=[^ ]*)?' "$command" -fcf-protection -fcf-protection=full
      ;;
    aarch64)
      expect_last "$name: -mbranch-protection=standard" '-mbranch-protection=[^ ]*' "$command" -mbranch-protection=standard
      # The marks the compiler gave the object, which an assembler source
      # or a function attribute could have taken away. Ninja's object paths
      # are relative to the build directory, where the commands file lives.
      object=$(sed -E 's/.* -o ([^ ]+) .*/\1/' <<<"$command")
      if ! notes=$(cd "$(dirname "$commands")" && readelf -n -W "$object" 2>&1); then
        verdict "${object##*/}: readable object file" "$notes"
        continue
      fi
      marks=$(sed -n 's/.*AArch64 feature: //p' <<<"$notes")
      for mark in BTI PAC; do
        verdict "${object##*/}: $mark mark" "$(grep -qw "$mark" <<<"$marks" || echo "AArch64 features '${marks:-none}'")"
      done
      ;;
  esac
done < <(sed -nE 's/^ *"command": "(.*)",?$/ \1"/p' "$commands")
verdict "compile commands for $pattern" "$( ((checked > 0)) || echo "none in $commands")"

# Functions that fortification can replace by a checked __*_chk variant.
fortifiable='memcpy|memmove|mempcpy|memset|strcpy|stpcpy|strncpy|strcat|strncat|sprintf|snprintf|vsprintf|vsnprintf|printf|fprintf|vprintf|vfprintf|syslog|vsyslog|read|pread|fread|fread_unlocked|fgets|realpath|getcwd|readlink|confstr|wcscpy|wmemcpy'

for bin in "$@"; do
  name=${bin##*/}
  if ! headers=$(readelf -h -l -d -W "$bin" 2>&1); then
    verdict "$name: readable ELF file" "$headers"
    continue
  fi
  notes=$(readelf -n -W "$bin")
  # The name follows the section index; PowerPC64 puts a column of its own
  # ("[<localentry>: 8]") before the index.
  imports=$(readelf --dyn-syms -W "$bin" |
    awk '{ for (i = 7; i < NF; i++) if ($i == "UND") { name = $(i + 1); sub(/@.*/, "", name); print name; next } }')
  type=$(awk '$1 == "Type:" { print $2 }' <<<"$headers")
  has_interp=$(awk '$1 == "INTERP" { print "yes" }' <<<"$headers")

  # A program must be a PIE; a shared object (no interpreter) is position-independent by nature.
  if [ "$type" != DYN ]; then
    problem="ELF type $type"
  elif [ -n "$has_interp" ] && ! grep -qE '\(FLAGS_1\).*\bPIE\b' <<<"$headers"; then
    problem="a program without the PIE flag"
  else
    problem=""
  fi
  verdict "$name: position-independent" "$problem"
  verdict "$name: read-only relocations" "$(grep -q '^ *GNU_RELRO ' <<<"$headers" || echo "no GNU_RELRO header")"
  verdict "$name: immediate binding" \
    "$(grep -qE '\(BIND_NOW\)|\(FLAGS\).*\bBIND_NOW\b|\(FLAGS_1\).*\bNOW\b' <<<"$headers" || echo "lazy binding")"
  # The flags of GNU_STACK itself, every column between MemSiz and Align;
  # without the header the stack is executable.
  stack=$(awk '$1 == "GNU_STACK" { f = ""; for (i = 7; i < NF; i++) f = f $i; print f }' <<<"$headers")
  verdict "$name: non-executable stack" "$([ "$stack" = RW ] || echo "GNU_STACK flags '${stack:-absent}'")"
  if [ "$machine" = x86_64 ]; then
    features=$(sed -n 's/.*x86 feature: //p' <<<"$notes")
    for feature in IBT SHSTK; do
      verdict "$name: $feature mark" "$(grep -qw "$feature" <<<"$features" || echo "x86 features '${features:-none}'")"
    done
  fi
  verdict "$name: stack protector" "$(grep -qx __stack_chk_fail <<<"$imports" || echo "no __stack_chk_fail")"
  checked_calls=$(grep -E '^__[a-z_]+_chk$' <<<"$imports" | grep -vx __stack_chk_fail)
  unchecked=$(grep -xE "$fortifiable" <<<"$imports" | tr '\n' ' ')
  verdict "$name: fortified libc calls" "$([ -n "$checked_calls" ] || echo "no __*_chk; unchecked: ${unchecked:-none}")"
done
exit $fail
