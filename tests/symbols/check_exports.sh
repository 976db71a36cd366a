#!/usr/bin/env bash
# Usage: check_exports.sh LIBRARY LIST_DIR
# Each *.syms file in LIST_DIR lists symbols the library must export: a plain name must be exported
# exactly as written (C linkage); a name ending in '*' is a prefix that must match at least one
# exported symbol (a C++ class or function). Every exported symbol must be matched by some line,
# apart from the standard library's own template instances and linker markers.
set -euo pipefail
lib=$1
dir=$2
exported=$(nm -D --defined-only "$lib" | awk '{print $NF}' | sort -u)
status=0
patterns=()
for list in "$dir"/*.syms; do
  while IFS= read -r line; do
    line=${line%%#*}
    line=$(echo "$line" | tr -d '[:space:]')
    [ -z "$line" ] && continue
    patterns+=("$line")
    if [[ $line == *'*' ]]; then
      prefix=${line%\*}
      if ! grep -q "^${prefix}" <<<"$exported"; then
        echo "missing export matching: $line"; status=1
      fi
    elif ! grep -qx "$line" <<<"$exported"; then
      echo "missing C export: $line"; status=1
    fi
  done <"$list"
done
allowed_prefixes=(_ZNSt _ZNKSt _ZSt _ZTISt _ZTSSt _ZTVSt _ZN9__gnu_cxx _ZNK9__gnu_cxx _edata _end __bss_start _init _fini)
while IFS= read -r sym; do
  [ -z "$sym" ] && continue
  ok=0
  for p in "${patterns[@]}" "${allowed_prefixes[@]/%/*}"; do
    if [[ $p == *'*' ]]; then
      [[ $sym == "${p%\*}"* ]] && { ok=1; break; }
    else
      [[ $sym == "$p" ]] && { ok=1; break; }
    fi
  done
  if [ $ok -eq 0 ]; then echo "unexpected export: $sym"; status=1; fi
done <<<"$exported"
[ $status -eq 0 ] && echo "exports match the lists"
exit $status
