#!/bin/sh
# Installs the build into a temporary prefix, then builds and runs a small C
# program against the installed libkivo_base_r twice: through pkg-config and
# through find_package(kivo).
set -eu
build=$1; src=$2
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
cmake --install "$build" --prefix "$tmp/prefix" >/dev/null
libdir="$tmp/prefix/lib"
[ -d "$tmp/prefix/lib64" ] && libdir="$tmp/prefix/lib64"
for l in "$libdir"/libkivo_*.so; do
  [ -L "$l" ] || { echo "no development link: $l"; exit 1; }
done
ls "$libdir"/libkivo_base_r.so.2 "$libdir"/libkivo_base.so.2 >/dev/null
[ -f "$tmp/prefix/include/kivo/exceptions.h" ]

export PKG_CONFIG_PATH="$libdir/pkgconfig"
# shellcheck disable=SC2046
cc -std=c99 -Wall -Werror -o "$tmp/hello_pc" "$src/hello.c" $(pkg-config --cflags --libs kivo_base_r)
LD_LIBRARY_PATH="$libdir" "$tmp/hello_pc" > "$tmp/out_pc"
grep -qx 'caught 22 from hello.c, cleaned 1' "$tmp/out_pc"
# a static or pkg-config consumer of the SQL library also gets the client library
for v in kivo_sql_r kivo_sql; do
  pkg-config --static --libs "$v" | grep -q -- '-lmariadb' || { echo "$v.pc: no libmariadb for static links"; exit 1; }
done

cmake -S "$src" -B "$tmp/cm" -DCMAKE_PREFIX_PATH="$tmp/prefix" >/dev/null
cmake --build "$tmp/cm" >/dev/null
LD_LIBRARY_PATH="$libdir" "$tmp/cm/hello" > "$tmp/out_cm"
grep -qx 'caught 22 from hello.c, cleaned 1' "$tmp/out_cm"
# the installed library must run without the build tree's help
readelf -d "$tmp/cm/hello" | grep -q 'libkivo_base_r.so.2'
echo "ok: pkg-config and find_package consumers ran"
