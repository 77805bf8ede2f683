#!/usr/bin/env bash
# The downloader's main job on a local demo, the way a user meets it: builds what is missing,
# publishes the freshly built download engine as the update server offers it, serves that update
# and a generated sample game over https (with a CA of the demo's own), runs the report collector,
# and downloads the game with the window (when a display is there) or the command-line host. The
# library installs the engine into an empty engine folder, starts it and hands it the job; the
# files are checked byte for byte and the installer runs. A second run finds everything in place.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

bash scripts/install-deps.sh

build=build/release
# The folder may be configured by a benchmark without the window: say what the demo needs.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTEV_BUILD_TESTS=OFF -DTEV_BUILD_APP=ON \
    -DTEV_BUILD_TOOLS=ON >/dev/null
cmake --build "$build" -j "$(nproc)" --target tev-test-server tev-report-collector tev-download \
    tev-downloader TEVDownloadV32 tev-publish tev-report

demo="$root/build/demo"
site="$demo/site"
rm -rf "$demo"
mkdir -p "$site/game" "$demo/download" "$demo/pki"

# The engine folder, the library's log and everything else the library keeps are the demo's own:
# it starts with no engine installed.
export XDG_DATA_HOME="$demo/data"
engine_folder="$XDG_DATA_HOME/Velmor/tevDownloadV32"
mkdir -p "$XDG_DATA_HOME"

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

# A CA of the demo's own and a certificate for 127.0.0.1 signed by it. The library and the engine
# both trust what SSL_CERT_FILE names, so the download runs the real TLS path.
(
    cd "$demo/pki"
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 \
        -subj "/CN=TEV-Downloader demo CA" -keyout ca.key -out ca.pem \
        -addext "basicConstraints=critical,CA:TRUE" \
        -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
    openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj "/CN=localhost" \
        -keyout server.key -out server.csr 2>/dev/null
    printf '%s\n' "subjectAltName=DNS:localhost,IP:127.0.0.1" "basicConstraints=CA:FALSE" \
        "keyUsage=critical,digitalSignature" "extendedKeyUsage=serverAuth" >server.ext
    openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 \
        -extfile server.ext -out server.pem 2>/dev/null
)
export SSL_CERT_FILE="$demo/pki/ca.pem"

pids=()
cleanup() {
    # The engine the library started runs on its own: stop it by the pid file it wrote.
    if [ -s "$engine_folder/TEVDownloadV32.pid" ]; then
        kill "$(cat "$engine_folder/TEVDownloadV32.pid")" 2>/dev/null || true
    fi
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
}
trap cleanup EXIT

"$build/tools/test_server/tev-test-server" --root "$site" --port 0 --tls "$demo/pki/server.pem" \
    "$demo/pki/server.key" --port-file "$demo/server.port" 2>"$demo/server.log" >/dev/null &
pids+=($!)
"$build/tools/report_collector/tev-report-collector" --port 0 --db "$demo/reports.db" \
    --port-file "$demo/collector.port" --quiet &
pids+=($!)
for f in server.port collector.port; do
    for _ in $(seq 100); do [ -s "$demo/$f" ] && break; sleep 0.1; done
done
port=$(cat "$demo/server.port")
export TEV_REPORT_SERVER="127.0.0.1:$(cat "$demo/collector.port")"

# The engine update the library looks for on its download server, made from this build.
# It is signed with a key the demo makes for itself; the library trusts that key through
# TEV_UPDATE_TRUST_FILE, as it trusts the demo's CA through SSL_CERT_FILE.
server="https://127.0.0.1:$port"
"$build/tools/publish/tev-publish" keygen "$demo/pki/update.key" "$demo/pki/update.pub" >/dev/null
export TEV_UPDATE_TRUST_FILE="$demo/pki/update.pub"
"$build/tools/publish/tev-publish" --out "$site" --base-url "$server" \
    --key "$demo/pki/update.key" "$build/localengine/TEVDownloadV32"
export TEV_DOWNLOAD_SERVER="$server"
# A port of the demo's own for the engine, so that an engine of the user's is left alone.
TEV_ENGINE_PORT=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
export TEV_ENGINE_PORT

base="$server/game"
printf '%s\r\n' "$base/readme.txt" "$base/QK_Data1.pak" "$base/QK_Data2.pak" \
    "$base/install.sh" >"$site/game/filelist.txt"
list="$base/filelist.txt"
# The list is signed with the same key: the hosts check every file before the installer runs.
"$build/tools/publish/tev-publish" list --key "$demo/pki/update.key" "$site/game/filelist.txt" \
    "$site/game/"{readme.txt,QK_Data1.pak,QK_Data2.pak,install.sh} >/dev/null

echo "Demo file list: $list"
echo "Download server (engine update): $server; engine folder: $engine_folder (empty)"
game_files=(readme.txt QK_Data1.pak QK_Data2.pak install.sh)
data_files=(QK_Data1.pak QK_Data2.pak)

# Body bytes of the game's data packs in ranged answers so far: every piece the engine fetches is
# asked with a range (the size check's plain requests are not downloads).
data_bytes_fetched() {
    local pattern
    pattern=$(printf '|%s' "${data_files[@]}")
    awk -v re="\"GET /game/(${pattern:1})\" 206 " '$0 ~ re { sum += $NF } END { print sum + 0 }' \
        "$demo/server.log"
}

# Which path carried the run's job: the engine's log names every job it finished, and a job it
# gave up (or never got) is not among them.
jobs_done_by_engine() {
    local count
    count=$(grep -c '^.* job [0-9]* complete$' "$engine_folder/config/engine.log" 2>/dev/null) || true
    echo "${count:-0}"
}

if [ -n "${DISPLAY:-}" ] && [ -x "$build/app/tev-downloader" ]; then
    # The window downloads into its default folder (under HOME) unless the user picks another;
    # the folder it used is saved in the settings folder. Both stay inside the demo's folder:
    # HOME moves there, and the display's credentials are named where they are.
    if [ -z "${XAUTHORITY:-}" ] && [ -f "${HOME:?}/.Xauthority" ]; then
        export XAUTHORITY="$HOME/.Xauthority"
    fi
    export HOME="$demo/home" TEV_SETTINGS_DIR="$demo/settings"
    mkdir -p "$HOME" "$TEV_SETTINGS_DIR"
    download="$HOME/orvix9/QK"
    # Files of an earlier demo would be taken as already downloaded: this run's are new.
    for f in "${game_files[@]}" INSTALLED.txt; do rm -f "$download/$f"; done
    run_host() {
        echo "Starting the window; press its start button, then install when it is done."
        "$build/app/tev-downloader" "$list"
        saved=$(sed -n 's/^QK=//p' "$TEV_SETTINGS_DIR/DownloadPath.ini" 2>/dev/null | head -n 1)
        if [ -n "$saved" ] && [ -d "$saved" ]; then download="${saved%/}"; fi
    }
else
    download="$demo/download"
    export HOME="$demo/home" TEV_SETTINGS_DIR="$demo/settings"
    mkdir -p "$HOME" "$TEV_SETTINGS_DIR"
    run_host() {
        # Bounded: a download that stops moving must not leave the demo waiting for ever.
        timeout 300 "$build/tools/cli/tev-download" --folder "$download" --install "$list"
    }
fi

check_run() {
    local engine_jobs_before=$1
    # The installer runs on its own; give it a moment to leave its record.
    for _ in $(seq 100); do [ -f "$download/INSTALLED.txt" ] && break; sleep 0.1; done
    echo
    echo "Downloaded into $download"
    local missing=0
    for f in "${game_files[@]}"; do
        if cmp -s "$site/game/$f" "$download/$f"; then
            echo "ok       $f"
        else
            echo "MISSING  $f"
            missing=1
        fi
    done
    if [ -f "$download/INSTALLED.txt" ]; then
        echo "The installer ran: $(head -n 1 "$download/INSTALLED.txt")"
    else
        echo "The installer did not run."
        exit 1
    fi
    if [ "$missing" -ne 0 ]; then
        exit 1
    fi
    if [ "$(jobs_done_by_engine)" -gt "$engine_jobs_before" ]; then
        echo "Path: the download engine (TEVDownloadV32 in $engine_folder) carried the job"
    else
        echo "Path: the DIRECT downloader carried the job, not the engine; see"
        echo "      $engine_folder/config/service.log and engine.log"
        exit 1
    fi
}

run_host
check_run 0
# The library installed the engine only after the update's manifest verified against the key.
verified=$(grep -a -o 'Manifest Verified.*' "$engine_folder/config/service.log" | head -n 1 || true)
if [ -n "$verified" ]; then
    echo "The engine update's signature was verified: $verified"
else
    echo "FAILED: the library did not verify the engine update's signature" >&2
    exit 1
fi
files_verified=$(grep -a -o 'Verified [0-9]* files against the file list.s manifest' \
    "$engine_folder/config/service.log" | tail -n 1 || true)
if [ -n "$files_verified" ]; then
    echo "The game's files were checked against its signed list: $files_verified"
else
    echo "FAILED: the game's files were not checked against the signed list" >&2
    exit 1
fi

# A second run: everything is in place, so nothing is fetched again and the installer is found.
echo
echo "Second run: the game is already there"
rm -f "$download/INSTALLED.txt"
fetched_before=$(data_bytes_fetched)
engine_jobs=$(jobs_done_by_engine)
run_host
check_run "$engine_jobs"
refetched=$(($(data_bytes_fetched) - fetched_before))
# The engine asks one byte of each file to learn its size, and finds the file already whole.
if [ "$refetched" -le "${#data_files[@]}" ]; then
    echo "Nothing was downloaded again"
else
    echo "FAILED: the second run downloaded $refetched bytes of the data packs again" >&2
    exit 1
fi

# The job reports leave when each job ends; the collector answers once they are stored.
for _ in $(seq 50); do
    jobs=$(sqlite3 "$demo/reports.db" 'select count(*) from jobs' 2>/dev/null || echo 0)
    [ "${jobs:-0}" -ge 2 ] && break
    sleep 0.1
done
records=$(sqlite3 "$demo/reports.db" 'select count(*) from reports' 2>/dev/null || echo '?')
by_path=$(sqlite3 "$demo/reports.db" \
    "select group_concat(path || ' ' || outcome || ': ' || n, ', ') from
     (select path, outcome, count(*) as n from jobs group by 1, 2)" 2>/dev/null || echo '?')
echo "Job reports stored: ${jobs:-0} (${by_path:-none}); direct file records: $records"
if "$build/tools/report_collector/tev-report" --store "$demo/reports.db" \
    --out "$demo/report.html" >/dev/null; then
    echo "Report page: $demo/report.html"
else
    echo "FAILED: the report page could not be written" >&2
    exit 1
fi
if [ -s "$engine_folder/TEVDownloadV32.pid" ]; then
    engine_pid=$(cat "$engine_folder/TEVDownloadV32.pid")
    kill "$engine_pid" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$engine_pid" 2>/dev/null || break; sleep 0.1; done
    echo "Stopped the download engine (pid $engine_pid)"
fi
