#!/usr/bin/env bash
# Benchmarks a Release build of tev-download against curl, wget and aria2 on loopback, with a
# private nginx serving the files over http and https. Writes bench/RESULTS.md. A full run takes
# about half an hour:
#   bash bench/run.sh            # 10 rounds
#   bash bench/run.sh --rounds 3 # quicker, noisier
#   bash bench/run.sh --only https --rounds 5  # only the https row, replaced in RESULTS.md
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
missing=()
for p in nginx-light curl wget aria2 python3 openssl; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    apt-get update
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
fi

cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DTEV_BUILD_TESTS=OFF >/dev/null
cmake --build build/release -j "$(nproc)" --target tev-download
exec python3 bench/bench.py --program build/release/tools/cli/tev-download "$@"
