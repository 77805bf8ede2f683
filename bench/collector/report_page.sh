#!/usr/bin/env bash
# Times the report page on a big PostgreSQL store: fills a private server (started here, stopped
# at the end) with N job reports over a launch week and the roll-ups the collector would have kept
# for them, then runs tev-report over the whole store and over one day. For comparison it also
# times one exact median over the rows themselves (what a page without roll-ups would need, once
# per path and per host). Prints a Markdown section for bench/collector/RESULTS.md:
#   bash bench/collector/report_page.sh --rows 10000000
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)

rows=1000000
while [ $# -gt 0 ]; do
    case "$1" in
        --rows) rows=$2; shift 2 ;;
        *) echo "usage: $0 [--rows N]" >&2; exit 2 ;;
    esac
done

bash scripts/install-deps.sh >&2
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DTEV_BUILD_TESTS=OFF \
    -DTEV_BUILD_APP=OFF >/dev/null
cmake --build build/release -j "$(nproc)" --target tev-report-collector tev-report >&2
bin="$root/build/release/tools/report_collector"

work=$(mktemp -d /tmp/tev-report-page-bench-XXXXXX)
pg_bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
pg_user=()
pg_running=0
collector_pid=""
cleanup() {
    if [ -n "$collector_pid" ]; then
        kill "$collector_pid" 2>/dev/null || true
        wait "$collector_pid" 2>/dev/null || true
    fi
    if [ "$pg_running" = 1 ]; then
        "${pg_user[@]}" "$pg_bin/pg_ctl" -D "$work/pg" -m fast -w stop >/dev/null 2>&1 || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

[ -n "$pg_bin" ] || { echo "PostgreSQL is not installed" >&2; exit 1; }
if [ "$(id -u)" = 0 ]; then
    pg_user=(setpriv --reuid=postgres --regid=postgres --clear-groups)
    chown postgres "$work"
fi
"${pg_user[@]}" "$pg_bin/initdb" -D "$work/pg" -U tev -A trust -E UTF8 --locale=C >/dev/null
pg_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
"${pg_user[@]}" "$pg_bin/pg_ctl" -D "$work/pg" -l "$work/pg.log" -w \
    -o "-p $pg_port -k $work -c listen_addresses=127.0.0.1 -c shared_buffers=256MB" \
    start >/dev/null
pg_running=1
location="postgresql://tev@127.0.0.1:$pg_port/postgres"

# The collector creates the tables as it does in production.
"$bin/tev-report-collector" --port 0 --port-file "$work/port" --store "$location" --quiet \
    2>/dev/null &
collector_pid=$!
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.1; done
kill "$collector_pid"
wait "$collector_pid" || true
collector_pid=""

# N jobs over 7 days from 2026-12-01: 3/4 engine, 8 hosts, 90 % completed, 6 % failed (12
# distinct failures), speeds spread log-uniformly from 64 KiB/s to 64 MiB/s, two engine versions.
fill_start=$(date +%s.%N)
psql -qX "$location" >/dev/null <<SQL
SET synchronous_commit = off;
INSERT INTO jobs (received_at, received_at_ms, peer_address, peer_port, format, path, outcome,
    files, files_completed, connections, duration_ms, bytes_server, bytes_peers, total_bytes,
    service_id, url, server_host, mirror, engine_version, failure)
SELECT '', ms, '10.0.0.1', 40000, 1, path, outcome, 3, 3, 4, duration,
       (speed * duration / 1000)::bigint, 0, (speed * duration / 1000)::bigint, 'svc',
       'http://' || host || '/game/pack' || (i % 5) || '.bin', host, '',
       CASE WHEN path = 'engine' THEN (CASE WHEN i % 3 = 0 THEN '1.4.2' ELSE '1.5.0' END) ELSE '' END,
       CASE WHEN outcome = 'failed' THEN 'http://' || host || '/game/pack' || (i % 5) ||
            '.bin: ' || (ARRAY['HTTP status 404','timed out (connect)','connection refused'])[1 + i % 3]
            ELSE '' END
FROM (
    SELECT i,
           1796083200000 + (hashint8(i) & 4294967295) * 604800000 / 4294967296 AS ms,
           CASE WHEN i % 4 = 0 THEN 'direct' ELSE 'engine' END AS path,
           CASE WHEN i % 50 < 45 THEN 'completed' WHEN i % 50 < 48 THEN 'failed' ELSE 'stopped' END
               AS outcome,
           'cdn-' || (hashint8(i * 7) & 7) || '.example' AS host,
           60000 + (hashint8(i * 3) & 1048575) AS duration,
           65536 * power(2, ((hashint8(i * 5) & 65535) / 65536.0) * 10) AS speed
    FROM generate_series(1, $rows) AS i
) AS g;
CREATE TABLE IF NOT EXISTS bench_done ();
SQL
# The roll-ups, by the collector's rules (hour of arrival; 16 speed buckets per doubling).
psql -qX "$location" >/dev/null <<'SQL'
INSERT INTO rollup_hourly SELECT received_at_ms - received_at_ms % 3600000, path, outcome,
    COUNT(*), SUM(bytes_server), SUM(bytes_peers) FROM jobs GROUP BY 1, 2, 3;
INSERT INTO rollup_speed SELECT received_at_ms - received_at_ms % 3600000, path, server_host,
    floor(ln((bytes_server + bytes_peers) * 1000.0 / duration_ms) / ln(2) * 16)::int, COUNT(*)
    FROM jobs WHERE outcome = 'completed' AND bytes_server + bytes_peers > 0 AND duration_ms > 0
    GROUP BY 1, 2, 3, 4;
INSERT INTO rollup_failures SELECT received_at_ms - received_at_ms % 3600000,
    hashtext(failure || url), failure, url, COUNT(*) FROM jobs WHERE outcome = 'failed'
    GROUP BY 1, 2, 3, 4;
INSERT INTO rollup_versions SELECT received_at_ms - received_at_ms % 3600000, path,
    engine_version, COUNT(*) FROM jobs GROUP BY 1, 2, 3;
VACUUM ANALYZE;
SQL
fill_seconds=$(echo "$(date +%s.%N) - $fill_start" | bc)

stored=$(psql -qtAX "$location" -c 'SELECT COUNT(*) FROM jobs')
rollup_rows=$(psql -qtAX "$location" -c 'SELECT (SELECT COUNT(*) FROM rollup_hourly) +
    (SELECT COUNT(*) FROM rollup_speed) + (SELECT COUNT(*) FROM rollup_failures) +
    (SELECT COUNT(*) FROM rollup_versions)')

page_time() {
    local start end
    start=$(date +%s.%N)
    "$bin/tev-report" --store "$location" --out "$work/page.html" "$@" >/dev/null
    end=$(date +%s.%N)
    printf '%.2f' "$(echo "$end - $start" | bc)"
}
whole=$(page_time)
whole2=$(page_time)
day=$(page_time --since 2026-12-03 --until 2026-12-04)
page_bytes=$(stat -c %s "$work/page.html")
exact_start=$(date +%s.%N)
psql -qtAX "$location" -c "SELECT percentile_disc(0.5) WITHIN GROUP (ORDER BY
    (bytes_server + bytes_peers) * 1000.0 / duration_ms) FROM jobs WHERE outcome = 'completed'
    AND path = 'engine'" >/dev/null
exact=$(printf '%.2f' "$(echo "$(date +%s.%N) - $exact_start" | bc)")

echo "## Report page (\`bash bench/collector/report_page.sh --rows $rows\`)"
echo
echo "tev-report (release) on a private PostgreSQL 15 holding $stored job reports over 7 days"
echo "and $rollup_rows roll-up rows; filling took ${fill_seconds%.*} s. The page reads only the"
echo "roll-ups. $(nproc) cores, load average before the run: $(cut -d' ' -f1-3 /proc/loadavg)."
echo
echo "| what | seconds |"
echo "|---|---|"
echo "| page, whole store (first run) | $whole |"
echo "| page, whole store (again) | $whole2 |"
echo "| page, one day (--since 2026-12-03 --until 2026-12-04) | $day |"
echo "| one exact median over the rows (engine path), for comparison | $exact |"
echo
echo "Page size: $page_bytes bytes. $(date -u +%F)."
