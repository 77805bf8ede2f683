# A private PostgreSQL server for the collector benchmarks, sourced by them. The caller sets
# $work (a fresh folder), calls start_postgres, and stop_postgres from its exit trap.
pg_bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
pg_user=()
pg_running=0

free_port() {
    python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

start_postgres() {
    [ -n "$pg_bin" ] || return 1
    if [ "$(id -u)" = 0 ]; then
        pg_user=(setpriv --reuid=postgres --regid=postgres --clear-groups)
        chown postgres "$work"
    fi
    "${pg_user[@]}" "$pg_bin/initdb" -D "$work/pg" -U tev -A trust -E UTF8 --locale=C >/dev/null
    pg_port=$(free_port)
    # Durable commits as in production (fsync on); room for a few collectors.
    "${pg_user[@]}" "$pg_bin/pg_ctl" -D "$work/pg" -l "$work/pg.log" -w \
        -o "-p $pg_port -k $work -c listen_addresses=127.0.0.1 -c max_connections=20" \
        start >/dev/null
    pg_running=1
}

stop_postgres() {
    if [ "$pg_running" = 1 ]; then
        "${pg_user[@]}" "$pg_bin/pg_ctl" -D "$work/pg" -m fast -w stop >/dev/null 2>&1 || true
        pg_running=0
    fi
}
