#!/bin/bash
# Compiles every C sample of the README (the ```c blocks) as a C99 program
# against the headers and the thread-safe libraries of the build tree, and
# runs it. A sample whose first line names "argv[1]: connection-info file"
# is run against the test MariaDB primary (KIVO_MARIADB_STATE).
set -eu
readme=$1; src=$2; build=$3
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
awk -v dir="$tmp" '/^```c$/ { n++; f = sprintf("%s/sample%d.c", dir, n); inside = 1; next }
                   /^```$/ { inside = 0; next }
                   inside { print > f }' "$readme"
ls "$tmp"/sample*.c >/dev/null 2>&1 || { echo "no C sample found in $readme"; exit 1; }
libs=""; rpath=""
for d in "$build"/*/; do
  for l in "$d"libkivo_*_r.so; do
    [ -e "$l" ] || continue
    case "$l" in *memdebug*) continue ;; esac
    libs="$libs $l"; rpath="$rpath:$(dirname "$l")"
  done
done
# shellcheck disable=SC2046
flags="$(pkg-config --cflags libmariadb) -I$src/include"
status=0
for c in "$tmp"/sample*.c; do
  exe=${c%.c}
  # shellcheck disable=SC2086
  if ! cc -std=c99 -Wall -Wextra -Werror $flags -o "$exe" "$c" $libs $(pkg-config --libs libmariadb) \
       -lpthread -Wl,-rpath,"${rpath#:}"; then
    echo "FAIL: $(basename "$c") does not compile:"; cat -n "$c"; status=1; continue
  fi
  args=""
  if head -1 "$c" | grep -q 'argv\[1\]: connection-info file'; then
    st=${KIVO_MARIADB_STATE:?the SQL sample needs the mariadb fixture}
    printf 'DB_MASTER main:127.0.0.1:%s\n' "$(cat "$st/primary.port")" > "$tmp/dbinfo"
    args="$tmp/dbinfo"
  fi
  if ! out=$("$exe" $args 2>&1); then
    echo "FAIL: $(basename "$c") exited with an error:"; echo "$out"; cat -n "$c"; status=1; continue
  fi
  echo "ok: $(basename "$c"): $(echo "$out" | head -1)"
done
exit $status
