#!/usr/bin/env bash
# The swarm lab in one command (as root): builds the engine and tev-publish (Release), which makes
# the game file's torrent; makes network namespaces
# for an origin (nginx, opentracker, its uplink capped with tc tbf) and for each player, runs the
# rows and writes bench/SWARM.md. Everything is removed again on every way out; a run killed with
# -9 is swept by the next one. Sizes are options:
#   bash bench/swarm/run.sh                                   # 8 players x 256 MiB at 25 MB/s
#   bash bench/swarm/run.sh --players 3 --size-mib 16 --rounds 1 --output /tmp/swarm.md
#   bash bench/swarm/run.sh --rows swarm --kinds engine       # only the HTTP-only swarm row
#   bash bench/swarm/run.sh --rows swarm,solo --kinds engine,peers   # sharing on against off
# See python3 bench/swarm/swarm.py --help for every option.
set -euo pipefail
cd "$(dirname "$0")/../.."

bash scripts/install-deps.sh

export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DTEV_BUILD_TESTS=OFF >/dev/null
cmake --build build/release -j "$(nproc)" --target TEVDownloadV32 tev-publish

# The namespaces carry this shell's pid. A signal to this shell reaches the lab, which tears down
# itself; the EXIT trap then sweeps whatever is left, whatever ended the lab.
run_id=$$
lab=(python3 bench/swarm/swarm.py --program build/release/localengine/TEVDownloadV32 --run-id "$run_id")
child=
stop() {
    [ -n "$child" ] && kill -TERM "$child" 2>/dev/null && wait "$child" || true
    exit "$1"
}
trap '"${lab[@]}" --cleanup' EXIT
trap 'stop 130' INT
trap 'stop 143' TERM
trap 'stop 129' HUP
"${lab[@]}" "$@" &
child=$!
wait "$child"
