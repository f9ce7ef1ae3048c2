#!/bin/sh
# check_refuses.sh <check_library.sh> <probe library> <probe exports folder>
# The interface check must fail on the probe and name every fault in it.
set -u
if out=$("$1" "$2" "$3" plain 2>&1); then
  echo "the check passed a library that breaks its list:"; echo "$out"; exit 1
fi
for n in kivo_probe_extra __etext kivo_probe_missing; do
  echo "$out" | grep -qx "$n" || { echo "the check did not name $n:"; echo "$out"; exit 1; }
done
echo "ok: the check refused the probe:"; echo "$out"
