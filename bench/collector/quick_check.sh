#!/usr/bin/env bash
# How long the report collector takes to start on a large SQLite file: opening reads the whole
# file once (PRAGMA quick_check) before any report is taken, and refuses a damaged one. Builds a
# file of ROWS rows like the collector's (default 10 million: about 2 GB and several minutes)
# unless FILE exists already, then starts the collector on it three times (Release build) and
# prints a Markdown table: the wall time until it listens and the CPU time it used for that.
#   bash bench/collector/quick_check.sh [ROWS] [FILE]
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)
rows=${1:-10000000}
work=$(mktemp -d /tmp/tev-collector-check-XXXXXX)
file=${2:-$work/reports.db}
collector_pid=""

cleanup() {
    if [ -n "$collector_pid" ]; then
        kill "$collector_pid" 2>/dev/null || true
        wait "$collector_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DTEV_BUILD_TESTS=OFF \
    -DTEV_BUILD_APP=OFF >/dev/null
cmake --build build/release -j "$(nproc)" --target tev-report-collector >&2
bin="$root/build/release/tools/report_collector"

if [ ! -s "$file" ]; then
    echo "building $file with $rows rows" >&2
    sqlite3 "$file" <<SQL
PRAGMA journal_mode=OFF;
PRAGMA synchronous=OFF;
CREATE TABLE reports (id INTEGER PRIMARY KEY, message_id INTEGER NOT NULL,
  record_index INTEGER NOT NULL, received_at TEXT NOT NULL, received_at_ms INTEGER NOT NULL,
  peer_address TEXT NOT NULL, peer_port INTEGER NOT NULL, service_id TEXT NOT NULL,
  url TEXT NOT NULL, bytes INTEGER NOT NULL, marker INTEGER NOT NULL);
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < $rows)
INSERT INTO reports (message_id, record_index, received_at, received_at_ms, peer_address,
  peer_port, service_id, url, bytes, marker)
SELECT i / 10, i % 10, '2026-12-11T03:00:00.000Z', 1796958000000 + i,
  '10.0.' || (i % 250) || '.' || (i % 200), 30000 + i % 30000, 'service-' || (i % 5000),
  'http://download.example.test/game/files/data' || i || '.pak|http://mirror.example.test/data'
  || i || '.pak', i * 7, 1 FROM n;
CREATE INDEX reports_message ON reports(message_id);
SQL
fi
count=$(sqlite3 "$file" 'SELECT COUNT(*) FROM reports')
size=$(du -m "$file" | cut -f1)
ticks=$(getconf CLK_TCK)

echo "## Report collector start on a large SQLite file"
echo
echo "$count rows, $size MiB; $(nproc) cores, load average before the run:" \
    "$(cut -d' ' -f1-3 /proc/loadavg) (other developers' builds share the machine)."
echo
echo "| run | seconds until listening | CPU seconds (user + system) |"
echo "|---|---|---|"
for run in 1 2 3; do
    rm -f "$work/port"
    start=$(date +%s.%N)
    "$bin/tev-report-collector" --port 0 --port-file "$work/port" --db "$file" --quiet \
        >"$work/collector.log" 2>&1 &
    collector_pid=$!
    until [ -s "$work/port" ]; do
        if ! kill -0 "$collector_pid" 2>/dev/null; then
            cat "$work/collector.log" >&2
            exit 1
        fi
        sleep 0.02
    done
    wall=$(echo "$(date +%s.%N) - $start" | bc)
    cpu=$(awk -v t="$ticks" '{printf "%.2f", ($14 + $15) / t}' "/proc/$collector_pid/stat")
    kill "$collector_pid"
    wait "$collector_pid" || true
    collector_pid=""
    printf '| %s | %.2f | %s |\n' "$run" "$wall" "$cpu"
done
