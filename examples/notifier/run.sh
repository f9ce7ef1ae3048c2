#!/bin/bash
# Runs the notification daemon end to end, from nothing:
#   run.sh <build dir>                 one run with 4 workers and a report
#   run.sh <build dir> --bench "1 2 4" one run per worker count, figures only
# Starts a throwaway MariaDB primary with replicas, loads the schema and 200
# sample jobs, starts an SMTP server that stores what it receives, runs the
# daemon until the queue is empty, prints what happened, and stops
# everything it started (also on failure or Ctrl-C).
set -eu
src=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$src/../.." && pwd)
build=$(cd "${1:?usage: run.sh <build dir> [--bench \"1 2 4\"]}" && pwd)
bench=""
[ "${2:-}" = "--bench" ] && bench=${3:-"1 2 4"}
state=$build/notifier-example
bin=$build/examples/notifier
mariadb_sh=$top/scripts/services.d/mariadb.sh
db=notifier_example
sink_pid=""

cleanup() {
  if [ -n "$sink_pid" ]; then kill "$sink_pid" 2>/dev/null || true; wait "$sink_pid" 2>/dev/null || true; fi
  "$mariadb_sh" stop "$state/mariadb" >/dev/null 2>&1 || true
}
trap cleanup EXIT
trap 'exit 130' INT TERM

[ -x "$bin" ] || { echo "run.sh: $bin is not built" >&2; exit 1; }
rm -rf "$state"
mkdir -p "$state/spool" "$state/mail"

echo "== setting up: MariaDB primary and replicas, SMTP server, 200 sample jobs"
"$mariadb_sh" start "$state/mariadb" >"$state/mariadb.log" 2>&1 || { cat "$state/mariadb.log" >&2; exit 1; }
sql() { mariadb --no-defaults -ukivo -pkivo --socket="$state/mariadb/primary.sock" "$@"; }
load() {
  sql -e "DROP DATABASE IF EXISTS $db; CREATE DATABASE $db CHARACTER SET utf8mb4"
  sql "$db" <"$src/schema.sql"
  sql "$db" <"$src/sample.sql"
  "$mariadb_sh" wait-replicas "$state/mariadb" >/dev/null
}
load

/usr/bin/python3 "$src/smtp_sink.py" "$state/mail" --port-file "$state/smtp.port" --lifetime 1800 \
  >"$state/smtp.log" 2>&1 &
sink_pid=$!
for _ in $(seq 1 100); do [ -s "$state/smtp.port" ] && break; sleep 0.1; done
[ -s "$state/smtp.port" ] || { echo "run.sh: the SMTP server did not start" >&2; cat "$state/smtp.log" >&2; exit 1; }

cat >"$state/dbinfo" <<EOI
# shard main: the primary takes the writes, replica1 the reads
DB_MASTER main:127.0.0.1:$(cat "$state/mariadb/primary.port")
DB_SLAVE  main:127.0.0.1:$(cat "$state/mariadb/replica1.port")
DB_TIMEOUT main:3
EOI
configure() { # <workers>
  sed -e "s|@WORKERS@|$1|" -e "s|@STATE@|$state|g" -e "s|@SRC@|$src|g" -e "s|@DATABASE@|$db|" \
      -e "s|@SMTP_PORT@|$(cat "$state/smtp.port")|" "$src/notifier.conf.in" >"$state/notifier.conf"
}

if [ -n "$bench" ]; then
  for w in $bench; do
    load
    rm -f "$state/mail"/*
    configure "$w"
    "$bin" -c "$state/notifier.conf" -x 2>"$state/notifier-$w.err" | sed "s/^/[$w workers] /"
  done
  exit 0
fi

configure 4
rel() { echo "${1#"$top"/}"; }
echo "== running: $(rel "$bin") -c $(rel "$state")/notifier.conf -x"
"$bin" -c "$state/notifier.conf" -x 2>"$state/notifier.err" | tee "$state/summary"
echo
echo "== jobs by state"
sql -t "$db" -e "SELECT state, COUNT(*) AS jobs FROM jobs GROUP BY state ORDER BY state"
echo "== refused jobs, by reason"
sql -t "$db" -e "SELECT reason, COUNT(*) AS jobs, GROUP_CONCAT(recipient ORDER BY id SEPARATOR '  ' LIMIT 5) AS first_recipients
                 FROM jobs WHERE state='failed' GROUP BY reason"
echo "== the SMTP server received $(ls "$state/mail" | grep -c '\.eml$') messages"
first=$(ls "$state/mail"/*.eml 2>/dev/null | head -1)
if [ -n "$first" ]; then
  echo "== one of them, as a mail client shows it ($(basename "$first"))"
  /usr/bin/python3 - "$first" <<'EOP'
import email, email.header, sys
from email import policy
msg = email.message_from_binary_file(open(sys.argv[1], "rb"), policy=policy.default)
for h in ("Date", "From", "To", "Subject", "Message-ID"):
    print("%-11s %s" % (h + ":", msg[h]))
for part in msg.walk():
    if part.is_multipart():
        continue
    name = part.get_filename()
    body = part.get_content()
    size = len(body) if isinstance(body, (str, bytes)) else 0
    print("  part %-10s %s%s" % (part.get_content_type(), "attachment " + name if name else "", " (%d bytes)" % size))
text = next((p for p in msg.walk() if p.get_content_type() == "text/plain" and not p.get_filename()), None)
if text is not None:
    print("  ---- text/plain ----")
    for line in text.get_content().splitlines():
        print("  " + line)
EOP
fi
echo "== log: $(rel "$state")/notifier.log, library events on standard error: $(rel "$state")/notifier.err"
