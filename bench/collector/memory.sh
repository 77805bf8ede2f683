#!/usr/bin/env bash
# The report collector's memory under hostile clients on loopback (Release build): its peak RSS
# while they hold their connections, and how soon after they close it is back under 64 MiB.
#   200 clients each sending all but the last byte of the largest report (SQLite store);
#   10,000 clients each sending half a header (SQLite store);
#   6 clients each sending 16 largest reports (texts at full width) into a PostgreSQL table
#   another session has locked; the clients close while it is still locked.
# Prints a Markdown table for bench/RESULTS.md:  bash bench/collector/memory.sh
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)

cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DTEV_BUILD_TESTS=OFF \
    -DTEV_BUILD_APP=OFF >/dev/null
cmake --build build/release -j "$(nproc)" --target tev-report-collector >&2
bin="$root/build/release/tools/report_collector"

work=$(mktemp -d /tmp/tev-collector-memory-XXXXXX)
collector_pid=""
clients_pid=""
lock_pid=""
. bench/collector/postgres.sh

cleanup() {
    for pid in "$clients_pid" "$lock_pid" "$collector_pid"; do
        if [ -n "$pid" ]; then
            kill "$pid" 2>/dev/null || true
            wait "$pid" 2>/dev/null || true
        fi
    done
    stop_postgres
    rm -rf "$work"
}
trap cleanup EXIT
ulimit -n "$(ulimit -Hn)"

status_kib() { awk -v k="$2:" '$1 == k {print $2}' "/proc/$1/status"; }

# measure NAME STORE CLIENT-ARGUMENTS...: one row of the table.
measure() {
    local name=$1 store=$2
    shift 2
    rm -f "$work/port"
    "$bin/tev-report-collector" --port 0 --port-file "$work/port" --store "$store" --quiet \
        >"$work/collector.log" 2>&1 &
    collector_pid=$!
    for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.05; done
    local port
    port=$(cat "$work/port")
    local base
    base=$(status_kib "$collector_pid" VmRSS)
    if [ "$name" = locked ]; then
        rm -f "$work/lock"
        mkfifo "$work/lock"
        psql -q "$store" <"$work/lock" >/dev/null 2>&1 &
        lock_pid=$!
        exec 4>"$work/lock"
        echo "BEGIN; LOCK TABLE reports IN ACCESS EXCLUSIVE MODE;" >&4
        sleep 1
    fi
    rm -f "$work/in" "$work/out"
    mkfifo "$work/in"
    # Without the lock session's descriptor, or that session would never see its end.
    python3 "$root/bench/collector/hostile.py" "$port" "$@" <"$work/in" >"$work/out" 4>&- &
    clients_pid=$!
    exec 3>"$work/in"
    for _ in $(seq 600); do grep -q sent "$work/out" 2>/dev/null && break; sleep 0.1; done
    sleep 2  # what was sent is read and parsed by now
    local peak now sent
    peak=$(status_kib "$collector_pid" VmHWM)
    now=$(status_kib "$collector_pid" VmRSS)
    sent=$(cat "$work/out")
    if [ -n "$lock_pid" ]; then
        sent="$sent, table lock held: $(psql -qtA "$store" -c "SELECT count(*) FROM pg_locks l
            JOIN pg_class c ON c.oid = l.relation WHERE c.relname = 'reports'
            AND l.mode = 'AccessExclusiveLock' AND l.granted")"
    fi
    local start
    start=$(date +%s.%N)
    echo >&3
    exec 3>&-
    wait "$clients_pid" || true
    clients_pid=""
    local back="not within 5 s" after=""
    for _ in $(seq 50); do
        after=$(status_kib "$collector_pid" VmRSS)
        if [ "$back" = "not within 5 s" ] && [ "$after" -lt $((64 * 1024)) ]; then
            back=$(echo "$(date +%s.%N) - $start" | bc | awk '{printf "%.1f s", $1}')
        fi
        sleep 0.1
    done
    if [ -n "$lock_pid" ]; then
        # The lock is let go only now: the clients left while the table was still locked.
        echo "ROLLBACK;" >&4
        exec 4>&-
        wait "$lock_pid" || true
        lock_pid=""
    fi
    kill "$collector_pid"
    wait "$collector_pid" || true
    collector_pid=""
    printf '| %s | %s | %s | %s | %s | %s | %s |\n' "$name" "$*" "$sent" $((base / 1024)) \
        $((peak / 1024)) "$back" $((after / 1024))
}

echo "## Report collector memory under hostile clients"
echo
echo "Release build, default budget (256 MiB), loopback. Peak is the collector's VmHWM while the"
echo "clients hold their connections; back = time from their close until VmRSS < 64 MiB; the last"
echo "column is VmRSS 5 s after the close."
echo "$(nproc) cores; load average before the run: $(cut -d' ' -f1-3 /proc/loadavg)" \
    "(other developers' builds share the machine)."
echo
echo "| case | clients | bytes sent | RSS at start MiB | peak RSS MiB | back under 64 MiB | RSS after 5 s MiB |"
echo "|---|---|---|---|---|---|---|"
measure large "$work/reports.db" large 200
rm -f "$work/reports.db"*
measure halfheader "$work/reports.db" halfheader 10000
if start_postgres; then
    measure locked "postgresql://tev@127.0.0.1:$pg_port/postgres" full 6 16
else
    echo
    echo "PostgreSQL: skipped, the server (package postgresql) is not installed."
fi
