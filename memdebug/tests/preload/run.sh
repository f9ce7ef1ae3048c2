#!/bin/sh
# Runs real programs with and without the checker preloaded and compares
# exit status, standard output and standard error.
#   run.sh <checker library> <threads program> <early-allocation program>
set -u
lib=$1; threads=$2; early=$3
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
fail=0

same() { # <label> <command...>
  label=$1; shift
  "$@" >"$tmp/a.out" 2>"$tmp/a.err"; sa=$?
  LD_PRELOAD=$lib "$@" >"$tmp/b.out" 2>"$tmp/b.err"; sb=$?
  if [ $sa -ne 0 ] || [ $sb -ne 0 ]; then
    echo "FAIL $label: exit status $sa without, $sb with the checker"; sed 5q "$tmp/b.err"; fail=1; return
  fi
  if ! cmp -s "$tmp/a.out" "$tmp/b.out" || ! cmp -s "$tmp/a.err" "$tmp/b.err"; then
    echo "FAIL $label: output differs under the checker"; diff "$tmp/a.out" "$tmp/b.out" | sed 10q; fail=1; return
  fi
  echo "ok   $label ($(wc -c <"$tmp/b.out") bytes of output)"
}

py=/usr/bin/python3
[ -x $py ] || py=python3

same "ls -lR /usr/include" ls -lR /usr/include
same "python3 allocation work" $py -c '
import json, hashlib, collections
d = {str(i): [i] * (i % 17) for i in range(200000)}
s = json.dumps(d, sort_keys=True)
c = collections.Counter(s.split(","))
words = sorted({("w%x" % (i * 7919 % 100003)) * (i % 5 + 1) for i in range(100000)})
print(len(s), hashlib.sha256(s.encode()).hexdigest(), len(c), len(words), words[:3])
'
awk 'BEGIN { srand(7); for (i = 0; i < 1000000; i++) printf "%08x %d %s\n", int(rand() * 4294967295), i, substr("abcdefghijklmnopqrstuvwxyz", i % 26 + 1) }' >"$tmp/big.txt"
same "sort of $(wc -c <"$tmp/big.txt") bytes" sort "$tmp/big.txt"
same "sort -n --parallel=4 -S 4M (temporary files)" sort -n -k2 --parallel=4 -S 4M -T "$tmp" "$tmp/big.txt"
same "8 threads allocating and freeing" "$threads"
same "allocations in another library's constructor" "$early"
exit $fail
