#!/usr/bin/env bash
# The downloader's main job on a local demo: builds what is missing, serves a generated sample
# game from the project's test server, runs the report collector, downloads the game with the
# window (when a display is there) or the command-line host, and runs its installer.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

bash scripts/install-deps.sh

build=build/release
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTEV_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target tev-test-server tev-report-collector tev-download \
    tev-downloader

demo="$root/build/demo"
site="$demo/site"
rm -rf "$demo"
mkdir -p "$site/game" "$demo/download"

# The sample game: two data packs, a readme and an installer script that records that it ran.
head -c $((24 * 1024 * 1024)) /dev/urandom >"$site/game/QK_Data1.pak"
head -c $((16 * 1024 * 1024)) /dev/urandom >"$site/game/QK_Data2.pak"
printf 'QK sample game for the TEV-Downloader demo.\n' >"$site/game/readme.txt"
cat >"$site/game/install.sh" <<'INSTALLER'
#!/bin/sh
# Sample installer: checks the packs next to it and records that it ran.
here=$(cd "$(dirname "$0")" && pwd)
{
    echo "installed at $(date)"
    ls -l "$here"
} >"$here/INSTALLED.txt"
INSTALLER

pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
}
trap cleanup EXIT

"$build/tools/test_server/tev-test-server" --root "$site" --port 0 \
    --port-file "$demo/server.port" --quiet &
pids+=($!)
"$build/tools/report_collector/tev-report-collector" --port 0 --db "$demo/reports.db" \
    --port-file "$demo/collector.port" --quiet &
pids+=($!)
for f in server.port collector.port; do
    for _ in $(seq 100); do [ -s "$demo/$f" ] && break; sleep 0.1; done
done
port=$(cat "$demo/server.port")
export TEV_REPORT_SERVER="127.0.0.1:$(cat "$demo/collector.port")"

base="http://127.0.0.1:$port/game"
printf '%s\r\n' "$base/readme.txt" "$base/QK_Data1.pak" "$base/QK_Data2.pak" \
    "$base/install.sh" >"$site/game/filelist.txt"
list="$base/filelist.txt"

echo "Demo file list: $list"
game_files=(readme.txt QK_Data1.pak QK_Data2.pak install.sh)
if [ -n "${DISPLAY:-}" ] && [ -x "$build/app/tev-downloader" ]; then
    # The window downloads into its default folder unless the user picks another; the folder
    # it used is saved in the settings folder, kept inside the demo's.
    download="${HOME:?}/orvix9/QK"
    export TEV_SETTINGS_DIR="$demo/settings"
    mkdir -p "$TEV_SETTINGS_DIR"
    # Files of an earlier demo would be taken as already downloaded: this run's are new.
    for f in "${game_files[@]}" INSTALLED.txt; do rm -f "$download/$f"; done
    echo "Starting the window; press its start button, then install when it is done."
    "$build/app/tev-downloader" "$list"
    saved=$(sed -n 's/^QK=//p' "$TEV_SETTINGS_DIR/DownloadPath.ini" 2>/dev/null | head -n 1)
    if [ -n "$saved" ] && [ -d "$saved" ]; then download="${saved%/}"; fi
else
    download="$demo/download"
    "$build/tools/cli/tev-download" --folder "$download" --install "$list"
fi

# The installer runs on its own; give it a moment to leave its record.
for _ in $(seq 100); do [ -f "$download/INSTALLED.txt" ] && break; sleep 0.1; done
echo
echo "Downloaded into $download"
for f in "${game_files[@]}"; do
    if cmp -s "$site/game/$f" "$download/$f"; then echo "ok       $f"; else echo "MISSING  $f"; fi
done
if [ -f "$download/INSTALLED.txt" ]; then
    echo "The installer ran: $(head -n 1 "$download/INSTALLED.txt")"
else
    echo "The installer did not run."
    exit 1
fi
sleep 1  # the statistics report leaves when the job ends
echo "Report records stored: $(sqlite3 "$demo/reports.db" 'select count(*) from reports' 2>/dev/null || echo '?')"
