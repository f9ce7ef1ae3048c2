#!/bin/sh
# Stand-in MTA: records its arguments, one a line, and its standard input in
# $KIVO_ARGV_DUMP.args / .stdin, then exits with $KIVO_ARGV_EXIT (default 0).
out=${KIVO_ARGV_DUMP:?}
: > "$out.args"
for a in "$0" "$@"; do printf '%s\n' "$a" >> "$out.args"; done
cat > "$out.stdin"
exit "${KIVO_ARGV_EXIT:-0}"
