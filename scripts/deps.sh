#!/bin/sh
# Installs the Debian packages listed in scripts/packages.d/<set>.txt that are
# not installed yet. Usage: deps.sh <set>...   (sets: base, bench, fuzz, ...)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
want=""
for set in "$@"; do
  f="$here/packages.d/$set.txt"
  [ -f "$f" ] || continue
  want="$want $(sed 's/#.*//' "$f" | tr -s ' \n' ' ')"
done
missing=""
for p in $want; do
  st=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  case "$st" in *"install ok installed"*) ;; *) missing="$missing $p" ;; esac
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" != 0 ]; then
  echo "kivo: missing Debian packages:$missing" >&2
  echo "kivo: install them with: sudo apt-get install$missing" >&2
  exit 1
fi
echo "kivo: installing$missing"
export DEBIAN_FRONTEND=noninteractive
log=$(mktemp)
# shellcheck disable=SC2086
if ! { apt-get update -qq && apt-get install -y -qq --no-install-recommends $missing; } >"$log" 2>&1; then
  cat "$log" >&2
  rm -f "$log"
  echo "kivo: apt-get failed" >&2
  exit 1
fi
rm -f "$log"
