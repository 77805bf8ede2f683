#!/usr/bin/env bash
# Builds the Debian packages (library, development files, window, tools) into build/package/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
# A build folder of its own, configured for /usr from the start, so the library lands in the
# multiarch folder Debian expects and no other script's cached options leave a program out.
cmake -S . -B build/deb -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DTEV_BUILD_TESTS=OFF -DTEV_BUILD_APP=ON -DTEV_BUILD_TOOLS=ON -DTEV_SANITIZE= -DTEV_FUZZ=OFF
cmake --build build/deb -j "$(nproc)"
rm -rf build/package
(cd build/deb && cpack -B "$PWD/../package")
ls -l build/package/*.deb
