#!/bin/sh
# Runs two programs with the same arguments and fails unless their outputs
# are identical:  same_output.sh <program a> <program b> <args...>
set -eu
a=$1; b=$2; shift 2
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
"$a" "$@" > "$tmp/a"
"$b" "$@" > "$tmp/b"
cmp "$tmp/a" "$tmp/b"
echo "same output: $(grep -c '^== ' "$tmp/a") templates, $(wc -c < "$tmp/a") bytes"
