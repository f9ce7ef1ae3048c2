#!/bin/bash
# Throwaway MariaDB servers for the tests: one primary with a binary log and
# two GTID replicas of it, on loopback only, each on a free TCP port, with
# data directories under the given state directory. Runs as root.
#
#   mariadb.sh start   <state dir>          stop what ran there, start all three from nothing
#   mariadb.sh stop    <state dir>          shut every server down, remove the data
#   mariadb.sh kill    <state dir> <name>   SIGKILL one server (a crash)
#   mariadb.sh pause   <state dir> <name>   SIGSTOP one server (a hung server)
#   mariadb.sh resume  <state dir> <name>   SIGCONT it
#   mariadb.sh restart <state dir> <name>   start it again on its port and data (killing it first if alive)
#   mariadb.sh wait-replicas <state dir>    wait until both replicas caught up with the primary
#
# Server names: primary, replica1, replica2. What the state directory holds
# once "start" returned 0 (other tests may read these files):
#   <name>.port   TCP port on 127.0.0.1      <name>.sock  Unix socket path
#   <name>.pid    process id                 <name>.err   server log
#   user, password, database   account with every privilege (from 127.0.0.1
#                 and localhost) and an empty database replicated to both replicas
#   env           the same as shell assignments (KIVO_MARIADB_PRIMARY_PORT=...)
# The account is kivo/kivo, the database kivo_test. CTest starts the set once
# per run through the fixture named "mariadb" (see sql/CMakeLists.txt) with
# the state directory <build dir>/mariadb-state, passed to tests in the
# environment variable KIVO_MARIADB_STATE (sql/CMakeLists.txt keeps the
# whole environment in the CMake variable KIVO_MARIADB_TEST_ENV). The SQL
# failure tests kill, pause and restart servers: other tests using them set
# RESOURCE_LOCK mariadb so that they never run at the same time. A watchdog
# stops the servers after an hour if nobody does.
set -u
cmd=${1:?usage: mariadb.sh start|stop|kill|pause|resume|restart|wait-replicas <state dir> [name]}
state=${2:?state directory missing}
name=${3:-}
servers="primary replica1 replica2"
USER_NAME=kivo
USER_PASS=kivo
DB=kivo_test

die() { echo "mariadb.sh: $*" >&2; exit 1; }
alive() { [ -f "$state/$1.pid" ] && kill -0 "$(cat "$state/$1.pid")" 2>/dev/null; }
# True when every thread of a process is in the stopped state.
all_stopped() {
  local f st
  for f in /proc/"$1"/task/*/stat; do
    st=$(sed 's/.*) //' "$f" 2>/dev/null | cut -c1) || return 1
    [ "$st" = T ] || return 1
  done
  [ -n "$st" ]
}
port_busy() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
free_port() {
  local i p
  for i in $(seq 1 50); do
    p=$((20000 + RANDOM % 30000))
    port_busy "$p" || { echo "$p"; return 0; }
  done
  return 1
}
sql_root() { # <name> <statements>
  mariadb --no-defaults -uroot --socket="$state/$1.sock" -e "$2"
}
ping_server() {
  mariadb-admin --no-defaults -uroot --socket="$state/$1.sock" --connect-timeout=2 ping >/dev/null 2>&1
}

# Launches one server from its saved arguments; waits until it answers.
launch() {
  local n=$1 i pid
  rm -f "$state/$n.sock"
  # shellcheck disable=SC2046
  setsid mariadbd $(cat "$state/$n.args") </dev/null >>"$state/$n.err" 2>&1 &
  pid=$!
  echo "$pid" > "$state/$n.pid"
  for i in $(seq 1 300); do
    ping_server "$n" && return 0
    kill -0 "$pid" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}

start_one() { # <name> <server id>
  local n=$1 id=$2 p tries extra=""
  [ "$n" = primary ] && extra="--log-bin=$state/$n/binlog --binlog-format=ROW --sync-binlog=0"
  [ "$n" != primary ] && extra="--relay-log=$state/$n/relay --relay-log-recovery=1 --slave-net-timeout=5"
  for tries in 1 2 3 4 5; do
    p=$(free_port) || die "no free port"
    echo "$p" > "$state/$n.port"
    echo "--no-defaults --user=root --datadir=$state/$n --socket=$state/$n.sock --port=$p" \
         "--bind-address=127.0.0.1 --pid-file=$state/$n.mpid --server-id=$id --skip-name-resolve" \
         "--innodb-buffer-pool-size=32M --innodb-flush-log-at-trx-commit=2 --innodb-doublewrite=0" \
         "--innodb-use-native-aio=0 --max-connections=2000 $extra" > "$state/$n.args"
    launch "$n" && return 0
    kill -9 "$(cat "$state/$n.pid")" 2>/dev/null
    sleep 0.2
  done
  die "$n did not start (see $state/$n.err)"
}

stop_one() {
  local n=$1 pid i
  [ -f "$state/$n.pid" ] || return 0
  pid=$(cat "$state/$n.pid")
  if kill -0 "$pid" 2>/dev/null; then
    kill -CONT "$pid" 2>/dev/null
    kill -TERM "$pid" 2>/dev/null
    for i in $(seq 1 200); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null
    for i in $(seq 1 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  fi
  rm -f "$state/$n.pid"
}

kill_one() {
  local n=$1 pid i
  [ -f "$state/$n.pid" ] || return 0
  pid=$(cat "$state/$n.pid")
  kill -KILL "$pid" 2>/dev/null
  for i in $(seq 1 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
  rm -f "$state/$n.pid"
}

stop_all() {
  local n
  if [ -f "$state/watchdog.pid" ]; then
    # The watchdog runs in its own process group: its sleep goes with it.
    kill -- -"$(cat "$state/watchdog.pid")" 2>/dev/null || kill "$(cat "$state/watchdog.pid")" 2>/dev/null
    rm -f "$state/watchdog.pid"
  fi
  for n in $servers; do stop_one "$n" & done
  wait
}

wait_replicas() {
  local gtid i n ok
  gtid=$(mariadb --no-defaults -uroot --socket="$state/primary.sock" -N -e "SELECT @@gtid_binlog_pos") || return 1
  for n in replica1 replica2; do
    alive "$n" || continue
    ok=$(mariadb --no-defaults -uroot --socket="$state/$n.sock" -N -e "SELECT MASTER_GTID_WAIT('$gtid', 30)") || return 1
    [ "$ok" = 0 ] || return 1
  done
}

case "$cmd" in
  start)
    mkdir -p "$state" || die "cannot create $state"
    state=$(cd "$state" && pwd)
    stop_all
    for n in $servers template; do rm -rf "${state:?}/$n"; done
    rm -f "$state"/*.port "$state"/*.sock "$state"/*.err "$state"/*.args "$state"/env
    mariadb-install-db --no-defaults --user=root --datadir="$state/template" \
      --auth-root-authentication-method=normal --skip-test-db >"$state/install.log" 2>&1 \
      || die "mariadb-install-db failed (see $state/install.log)"
    for n in $servers; do cp -a "$state/template" "$state/$n"; done
    rm -rf "$state/template"
    id=1
    for n in $servers; do start_one "$n" $id & id=$((id + 1)); done
    for job in $(jobs -p); do wait "$job" || { stop_all; die "start failed"; }; done
    for n in $servers; do alive "$n" || { stop_all; die "$n is not running"; }; done
    user_sql="SET sql_log_bin=0;
      CREATE USER '$USER_NAME'@'127.0.0.1' IDENTIFIED BY '$USER_PASS';
      CREATE USER '$USER_NAME'@'localhost' IDENTIFIED BY '$USER_PASS';
      GRANT ALL PRIVILEGES ON *.* TO '$USER_NAME'@'127.0.0.1' WITH GRANT OPTION;
      GRANT ALL PRIVILEGES ON *.* TO '$USER_NAME'@'localhost' WITH GRANT OPTION;"
    for n in $servers; do sql_root "$n" "$user_sql" || { stop_all; die "account set-up failed on $n"; }; done
    sql_root primary "CREATE DATABASE $DB CHARACTER SET utf8mb4" || { stop_all; die "database set-up failed"; }
    pport=$(cat "$state/primary.port")
    for n in replica1 replica2; do
      sql_root "$n" "CHANGE MASTER TO MASTER_HOST='127.0.0.1', MASTER_PORT=$pport, MASTER_USER='$USER_NAME',
        MASTER_PASSWORD='$USER_PASS', MASTER_USE_GTID=slave_pos, MASTER_CONNECT_RETRY=1; START SLAVE;" \
        || { stop_all; die "replication set-up failed on $n"; }
    done
    wait_replicas || { stop_all; die "replicas did not catch up"; }
    echo "$USER_NAME" > "$state/user"
    echo "$USER_PASS" > "$state/password"
    echo "$DB" > "$state/database"
    {
      for n in $servers; do
        u=$(echo "$n" | tr a-z A-Z)
        echo "KIVO_MARIADB_${u}_PORT=$(cat "$state/$n.port")"
        echo "KIVO_MARIADB_${u}_SOCK=$state/$n.sock"
      done
      echo "KIVO_MARIADB_USER=$USER_NAME"
      echo "KIVO_MARIADB_PASSWORD=$USER_PASS"
      echo "KIVO_MARIADB_DATABASE=$DB"
    } > "$state/env"
    # Nothing outlives its run for long: a watchdog stops the set.
    setsid bash -c "sleep 3600; '$0' stop '$state'" </dev/null >/dev/null 2>&1 &
    echo $! > "$state/watchdog.pid"
    echo "mariadb: primary $(cat "$state/primary.port"), replicas $(cat "$state/replica1.port") $(cat "$state/replica2.port")"
    ;;
  stop)
    [ -d "$state" ] || exit 0
    stop_all
    for n in $servers template; do rm -rf "${state:?}/$n"; done
    rm -f "$state"/*.sock
    ;;
  kill)
    [ -n "$name" ] || die "which server?"
    kill_one "$name"
    ;;
  pause)
    alive "$name" || die "$name is not running"
    pid=$(cat "$state/$name.pid")
    kill -STOP "$pid"
    # kill returns once the signal is queued; the server's threads stop only
    # as each one next runs, so on a busy machine one could still answer a
    # query sent right away. Return once every thread is stopped.
    for i in $(seq 1 200); do
      all_stopped "$pid" && exit 0
      sleep 0.05
    done
    die "$name did not stop"
    ;;
  resume)
    alive "$name" || die "$name is not running"
    kill -CONT "$(cat "$state/$name.pid")"
    ;;
  restart)
    [ -f "$state/$name.args" ] || die "$name was never started"
    if alive "$name"; then kill -CONT "$(cat "$state/$name.pid")"; kill_one "$name"; fi
    launch "$name" || die "$name did not restart (see $state/$name.err)"
    ;;
  wait-replicas)
    wait_replicas || die "replicas did not catch up"
    ;;
  *) die "unknown command $cmd" ;;
esac
