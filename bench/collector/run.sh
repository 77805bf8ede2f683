#!/usr/bin/env bash
# Benchmarks the report collector on loopback: tev-report-load with 100, 1,000 and 10,000
# concurrent clients, each sending report messages of 10 records and waiting for every answer,
# against an SQLite file and a private PostgreSQL server (started here, stopped at the end).
# Prints a Markdown section for bench/RESULTS.md:
#   bash bench/collector/run.sh            # the full matrix, a few minutes
#   bash bench/collector/run.sh --quick    # 100 and 1,000 clients only
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)

quick=0
[ "${1:-}" = "--quick" ] && quick=1

bash scripts/install-deps.sh >&2
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DTEV_BUILD_TESTS=OFF \
    -DTEV_BUILD_APP=OFF >/dev/null
cmake --build build/release -j "$(nproc)" --target tev-report-collector tev-report-load >&2
bin="$root/build/release/tools/report_collector"

work=$(mktemp -d /tmp/tev-collector-bench-XXXXXX)
collector_pid=""
. bench/collector/postgres.sh

cleanup() {
    if [ -n "$collector_pid" ]; then
        kill "$collector_pid" 2>/dev/null || true
        wait "$collector_pid" 2>/dev/null || true
    fi
    stop_postgres
    rm -rf "$work"
}
trap cleanup EXIT

# Thousands of connections on each side need as many descriptors.
ulimit -n "$(ulimit -Hn)"

# run STORE_NAME STORE CLIENTS MESSAGES: one measurement, printed as a table row.
run() {
    local name=$1 store=$2 clients=$3 messages=$4
    rm -f "$work/port"
    "$bin/tev-report-collector" --port 0 --port-file "$work/port" --store "$store" --quiet \
        >"$work/collector.log" 2>&1 &
    collector_pid=$!
    for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.05; done
    local port
    port=$(cat "$work/port")
    local line
    line=$("$bin/tev-report-load" --port "$port" --clients "$clients" --messages "$messages" \
        --records 10 --timeout 300 || true)
    local rss
    rss=$(awk '/VmHWM/ {print $2}' "/proc/$collector_pid/status")
    kill "$collector_pid"
    wait "$collector_pid" || true
    collector_pid=""
    local stored
    if [ "$name" = SQLite ]; then
        stored=$(sqlite3 "$store" 'SELECT COUNT(*) FROM reports')
    else
        stored=$(psql -qtA "$store" -c 'SELECT COUNT(*) FROM reports')
    fi
    value() { echo "$line" | tr ' ' '\n' | awk -F= -v k="$1" '$1 == k {print $2}'; }
    printf '| %s | %s | %s | %s | %s | %s / %s | %s | %s |\n' "$name" "$clients" \
        "$(value rows_per_s)" "$(value failed)" "$(value seconds)" "$stored" "$(value rows)" \
        "$(value p99_ms)" "$((rss / 1024))"
}

sizes=("100 500" "1000 50" "10000 5")
[ "$quick" = 1 ] && sizes=("100 200" "1000 20")

echo "## Report collector"
echo
total=$(( $(echo "${sizes[0]}" | tr ' ' '*') ))
echo "tev-report-load on loopback: N clients connect at once, each sends M report messages of"
echo "10 records and waits for every acknowledgement (N x M = $total messages, $((total * 10)) rows"
echo "per run). Stored = rows in the store after the collector stopped; acknowledged = rows the"
echo "clients got an answer for. Peak RSS is the collector's high-water mark. SQLite commits are"
echo "synced (WAL, synchronous=FULL), PostgreSQL runs with fsync and synchronous_commit on."
echo
echo "$(nproc) cores, $(awk '/MemTotal/ {printf "%.0f GiB", $2 / 1048576}' /proc/meminfo) memory;" \
    "load average before the run: $(cut -d' ' -f1-3 /proc/loadavg)."
echo
echo "| store | clients | rows/s | failed clients | seconds | stored / acknowledged rows | p99 answer ms | peak RSS MiB |"
echo "|---|---|---|---|---|---|---|---|"
for size in "${sizes[@]}"; do
    set -- $size
    rm -f "$work/reports.db"*
    run SQLite "$work/reports.db" "$1" "$2"
done
if start_postgres; then
    location="postgresql://tev@127.0.0.1:$pg_port/postgres"
    for size in "${sizes[@]}"; do
        set -- $size
        psql -qtA "$location" -c 'DROP TABLE IF EXISTS reports; DROP SEQUENCE IF EXISTS reports_message_seq' >/dev/null 2>&1 || true
        run PostgreSQL "$location" "$1" "$2"
    done
else
    echo
    echo "PostgreSQL: skipped, the server (package postgresql) is not installed."
fi
