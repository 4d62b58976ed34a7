#!/usr/bin/env bash
# Runs a command against a PostgreSQL server of its own: Debian's server binaries, a fresh data
# folder under a temporary folder, started as an unprivileged user (the server refuses root;
# as root it runs as the `postgres` account the package creates), listening on a Unix socket
# in that folder only (no TCP port), with trust authentication for the socket. The server is
# stopped and its folder removed on every way out (the command's end, an error, Ctrl-C,
# SIGTERM, SIGHUP; and, through a guardian process, a SIGKILL of this script).
#
#   tools/with_postgres.sh COMMAND [ARGS...]
#
# The command sees:
#   TALVEN_PG_SOCKET  the socket folder         TALVEN_PG_PORT  the port naming the socket
#   TALVEN_PG_BIN     the server's bin folder   TALVEN_PG_DATA  the data folder
#   TALVEN_PG_ODBC    an ODBC connection string for the database talven_test
#   TALVEN_PG_AS      the command prefix that runs server tools as the server's user
#   TALVEN_PG_CTL     a script: `$TALVEN_PG_CTL restart|stop|start` (the tests restart the server)
# Exits with the command's status, or 77 when no PostgreSQL server is installed.
set -euo pipefail

bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1 || true)
if [[ -z $bin || ! -x $bin/pg_ctl ]]; then
  echo "with_postgres: no PostgreSQL server in /usr/lib/postgresql/*/bin (run tools/setup.sh)" >&2
  exit 77
fi

if [[ $(id -u) -eq 0 ]]; then
  as=(runuser -u postgres --)
else
  as=()
fi
top=$(mktemp -d "${TMPDIR:-/tmp}/talven-pg.XXXXXX")
data=$top/data
sock=$top/sock
port=5432
mkdir -p "$data" "$sock" "$top/log"
chmod 755 "$top"
[[ $(id -u) -ne 0 ]] || chown postgres: "$data" "$sock" "$top/log"

ctl=$top/ctl.sh
cat >"$ctl" <<EOF
#!/usr/bin/env bash
# restart | stop | start the test server (fast shutdown: sessions are ended at once)
set -e
case "\$1" in
  start) ${as[*]} "$bin/pg_ctl" -D "$data" -l "$top/log/server.log" -w -t 60 \\
           -o "-c listen_addresses='' -c unix_socket_directories='$sock' -p $port -c fsync=on" start >/dev/null ;;
  stop) ${as[*]} "$bin/pg_ctl" -D "$data" -m fast -w -t 60 stop >/dev/null ;;
  restart) ${as[*]} "$bin/pg_ctl" -D "$data" -l "$top/log/server.log" -m fast -w -t 60 \\
           -o "-c listen_addresses='' -c unix_socket_directories='$sock' -p $port -c fsync=on" restart >/dev/null ;;
esac
EOF
chmod 755 "$ctl"

stop_server() {
  if [[ -f $data/postmaster.pid ]]; then
    "${as[@]}" "$bin/pg_ctl" -D "$data" -m immediate -w -t 30 stop >/dev/null 2>&1 || true
  fi
  rm -rf "$top"
}
child=
cleanup() {
  local rc=$?
  trap - EXIT INT TERM HUP
  [[ -z $child ]] || kill -TERM "$child" 2>/dev/null || true
  stop_server
  exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

if ! "${as[@]}" "$bin/initdb" -D "$data" -A trust -U postgres -E UTF8 --no-sync \
  >"$top/initdb.log" 2>&1; then
  echo "with_postgres: initdb failed:" >&2
  tail -n 5 "$top/initdb.log" >&2
  exit 1
fi
if ! "$ctl" start; then
  echo "with_postgres: the server did not start:" >&2
  tail -n 5 "$top/log/server.log" >&2
  exit 1
fi
# Should this script itself be killed (SIGKILL, which no trap sees), a guardian stops the
# server once the script is gone.
(
  trap '' INT TERM HUP
  while kill -0 $$ 2>/dev/null; do sleep 1; done
  stop_server
) </dev/null >/dev/null 2>&1 &
"${as[@]}" "$bin/psql" -h "$sock" -p "$port" -U postgres -d postgres -qAtX \
  -c "CREATE DATABASE talven_test" >/dev/null

export TALVEN_PG_SOCKET=$sock TALVEN_PG_PORT=$port TALVEN_PG_BIN=$bin TALVEN_PG_DATA=$data
export TALVEN_PG_AS="${as[*]}" TALVEN_PG_CTL=$ctl
export TALVEN_PG_ODBC="Driver={PostgreSQL Unicode};Server=$sock;Port=$port;Database=talven_test;Uid=postgres;"
# The command runs in the background so that a signal reaches the traps at once (a trap waits
# for a command in the foreground to end).
"$@" &
child=$!
set +e
wait "$child"
rc=$?
child=
exit "$rc"
