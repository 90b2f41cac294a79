#!/usr/bin/env bash
# Fails unless every ELF file given was built hardened: full RELRO (GNU_RELRO segment and
# BIND_NOW), stack protector (__stack_chk_fail imported) and _FORTIFY_SOURCE (some *_chk
# function imported). Usage: scripts/check-hardening.sh FILE...
set -euo pipefail
status=0
for file in "$@"; do
    missing=()
    readelf -lW "$file" | grep -q GNU_RELRO || missing+=("GNU_RELRO (-z relro)")
    readelf -dW "$file" | grep -Eq 'BIND_NOW|FLAGS.*\bNOW\b' || missing+=("BIND_NOW (-z now)")
    syms=$(readelf --dyn-syms -W "$file")
    grep -q '__stack_chk_fail' <<<"$syms" || missing+=("__stack_chk_fail (-fstack-protector-strong)")
    grep -Eq '__[a-z_]+_chk(@|$| )' <<<"$syms" || missing+=("*_chk functions (-D_FORTIFY_SOURCE=2)")
    if [ ${#missing[@]} -gt 0 ]; then
        echo "$file: not hardened, missing: ${missing[*]}"
        status=1
    else
        echo "$file: hardened (relro, now, stack protector, fortify)"
    fi
done
exit $status
