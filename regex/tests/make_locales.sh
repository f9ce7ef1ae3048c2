#!/bin/sh
# Builds the locales the regex tests switch between into <dir>:
#   de_DE.ISO-8859-1  German letters in Latin-1 (é is a word character)
#   de                the POSIX character classes under a name that begins
#                     the other one
# localedef warns about the sources and may exit 1 while still writing the
# locale: the result is what counts.
set -u
dir=$1
mkdir -p "$dir"
localedef -i de_DE -f ISO-8859-1 "$dir/de_DE.ISO-8859-1" >/dev/null 2>&1
localedef -i POSIX -f ISO-8859-1 "$dir/de" >/dev/null 2>&1
for l in de_DE.ISO-8859-1 de; do
  [ -f "$dir/$l/LC_CTYPE" ] || { echo "cannot build locale $l in $dir (package 'locales')" >&2; exit 1; }
done
