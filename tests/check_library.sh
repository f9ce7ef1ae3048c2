#!/bin/sh
# Interface check of one built library:
#   check_library.sh <library file> <exports folder> <r|plain>
# - it exports exactly the names listed in <exports folder>/*.txt
#   ("r:" lines only in the thread-safe build, "p:" lines only in the plain one);
# - no C++ (mangled) name is exported;
# - no libstdc++ / libgcc_s dependency; the plain build uses no threads library.
set -eu
lib=$1; dir=$2; variant=$3
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
fail=0

# Every defined entry of the dynamic symbol table, whatever its binding or
# type (a local or absolute entry there is as visible to a reader as any).
readelf --dyn-syms -W "$lib" | awk '$1 ~ /^[0-9]+:$/ && $7 != "UND" && $4 != "SECTION" && $8 != "" {print $8}' \
  | sed 's/@.*//' | sort -u > "$tmp/have"
cat "$dir"/*.txt | sed 's/#.*//; s/[[:space:]]//g' | grep -v '^$' | while read -r l; do
  case "$l" in
    r:*) [ "$variant" = r ] && echo "${l#r:}" ;;
    p:*) [ "$variant" = plain ] && echo "${l#p:}" ;;
    *) echo "$l" ;;
  esac
done | sort -u > "$tmp/want"

if grep -q '^_Z' "$tmp/have"; then
  echo "C++ symbols exported:"; grep '^_Z' "$tmp/have"; fail=1
fi
extra=$(comm -23 "$tmp/have" "$tmp/want" || true)
missing=$(comm -13 "$tmp/have" "$tmp/want" || true)
[ -n "$extra" ] && { echo "exported but not public:"; echo "$extra"; fail=1; }
[ -n "$missing" ] && { echo "public but not exported:"; echo "$missing"; fail=1; }

needed=$(readelf -d "$lib" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
echo "$needed" | grep -E 'libstdc\+\+|libgcc_s' && { echo "C++ runtime dependency"; fail=1; }
if [ "$variant" = plain ]; then
  echo "$needed" | grep -E 'libpthread' && { echo "plain build needs a threads library"; fail=1; }
  thr=$(nm -D --undefined-only "$lib" | awk '{print $2}' | sed 's/@.*//' \
        | grep -E '^pthread_(mutex|cond|create|key|once|join|detach|rwlock|spin|barrier|setspecific|getspecific|setcancel)' || true)
  [ -n "$thr" ] && { echo "plain build calls thread functions:"; echo "$thr"; fail=1; }
fi
[ $fail = 0 ] && echo "ok: $(basename "$lib") exports $(wc -l < "$tmp/have") names; needs: $(echo $needed)"
exit $fail
