#!/usr/bin/env bash
# check_hardening.sh BINARY: fails unless the binary is a PIE with full RELRO,
# stack protection and fortified libc calls.
set -u
bin=$1
fail=0
check() { if eval "$2"; then echo "ok: $1"; else echo "MISSING: $1"; fail=1; fi; }
headers=$(readelf -h -l -d -W "$bin")
symbols=$(readelf --dyn-syms -W "$bin")
check "position-independent executable" 'grep -q "Type:.*DYN" <<<"$headers" && grep -q "FLAGS_1.*PIE" <<<"$headers"'
check "read-only relocations" 'grep -q GNU_RELRO <<<"$headers"'
check "immediate binding" 'grep -Eq "BIND_NOW|FLAGS.*NOW" <<<"$headers"'
check "stack protector" 'grep -q __stack_chk_fail <<<"$symbols"'
check "fortified libc calls" 'grep -Eq "__[a-z]+_chk" <<<"$symbols"'
check "non-executable stack" 'grep -A1 GNU_STACK <<<"$headers" | grep -q "RW "'
exit $fail
