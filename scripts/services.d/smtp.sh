#!/bin/sh
# Throwaway SMTP servers for the mail tests (aiosmtpd under /usr/bin/python3)
# and an msmtp configuration that delivers to them.
#   smtp.sh start <state dir>   start from nothing; writes into the state dir:
#     port.<instance>  ports (see scripts/smtp_test_server.py), cert.pem/key.pem
#     (self-signed, also the test CA), msmtprc, spool/ (stored messages), ready
#   smtp.sh stop <state dir>    stop the servers (idempotent)
set -eu
cmd=${1:?usage: smtp.sh start|stop <state dir>}
state=${2:?usage: smtp.sh start|stop <state dir>}
here=$(cd "$(dirname "$0")/../.." && pwd)

stop() {
  if [ -f "$state/pid" ]; then
    pid=$(cat "$state/pid")
    if kill -0 "$pid" 2>/dev/null; then
      kill -TERM "$pid" 2>/dev/null || true
      i=0
      while kill -0 "$pid" 2>/dev/null && [ $i -lt 50 ]; do sleep 0.1; i=$((i + 1)); done
      kill -KILL "$pid" 2>/dev/null || true
    fi
    rm -f "$state/pid"
  fi
}

case "$cmd" in
  start)
    stop
    rm -rf "$state"
    mkdir -p "$state/spool"
    openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=127.0.0.1" \
      -addext "subjectAltName=DNS:127.0.0.1,IP:127.0.0.1" \
      -addext "basicConstraints=critical,CA:TRUE" \
      -keyout "$state/key.pem" -out "$state/cert.pem" >"$state/openssl.log" 2>&1
    setsid /usr/bin/python3 -W ignore "$here/scripts/smtp_test_server.py" "$state" --lifetime 3600 \
      >"$state/server.log" 2>&1 </dev/null &
    echo $! >"$state/pid"
    i=0
    while [ ! -f "$state/ready" ]; do
      if [ $i -ge 150 ] || ! kill -0 "$(cat "$state/pid")" 2>/dev/null; then
        echo "smtp.sh: the test SMTP server did not start:" >&2
        cat "$state/server.log" >&2
        stop
        exit 1
      fi
      sleep 0.1
      i=$((i + 1))
    done
    port=$(cat "$state/port.notls")
    cat >"$state/msmtprc" <<EOC
defaults
auth off
tls off
logfile $state/msmtp.log

account default
host 127.0.0.1
port $port
from kivo-mta@kivo.test
EOC
    chmod 600 "$state/msmtprc"
    echo "smtp: servers up, ports: $(cd "$state" && for f in port.*; do printf '%s=%s ' "${f#port.}" "$(cat "$f")"; done)"
    ;;
  stop)
    stop
    ;;
  *)
    echo "usage: smtp.sh start|stop <state dir>" >&2
    exit 2
    ;;
esac
