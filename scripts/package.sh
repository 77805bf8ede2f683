#!/usr/bin/env bash
# Builds the Debian packages (library, development files, window, tools) into build/package/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
# Configured for /usr, so the library lands in the multiarch folder Debian expects.
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DTEV_BUILD_TESTS=OFF
cmake --build build/release -j "$(nproc)"
(cd build/release && cpack -B "$PWD/../package")
ls -l build/package/*.deb
