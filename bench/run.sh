#!/usr/bin/env bash
# Benchmarks a Release build of the whole product on loopback, in one interleaved run: tev-download
# through the engine (TEVDownloadV32, published on a private nginx as the update server, installed
# by a first run and left running), tev-download on the direct downloader, and wget2, curl, aria2c
# and axel, with a private nginx serving the files (one of them capping each connection at 16 MB/s).
# Writes bench/RESULTS.md, keeping its https and report-collector sections when not rerun. A run
# takes about ten minutes with the default rounds:
#   bash bench/run.sh                  # 5 rounds (the direct path's slow rows fewer)
#   bash bench/run.sh --rounds 3       # quicker, noisier
#   bash bench/run.sh --only https --rounds 5  # only the https row, replaced in RESULTS.md
#   bash bench/run.sh --only direct --rounds 3  # only the direct downloader's quota rows
# bench/engine_bench.py drives the engine over its protocol alone (bench/ENGINE_RESULTS.md).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
missing=()
for p in nginx-light curl wget2 aria2 axel python3 openssl; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    apt-get update
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
fi

cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DTEV_BUILD_TESTS=OFF >/dev/null
cmake --build build/release -j "$(nproc)" --target tev-download TEVDownloadV32 tev-publish
exec python3 bench/bench.py --program build/release/tools/cli/tev-download \
    --engine build/release/localengine/TEVDownloadV32 \
    --publisher build/release/tools/publish/tev-publish "$@"
