#!/usr/bin/env bash
# Builds the Debian packages (library, development files, window, tools) into build/package/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
# --trust-keys FILE: the PEM public keys whose signature the packaged library accepts on an engine
# update. Without it the library trusts no key and installs only newer versions over https.
trust_keys=${TEV_UPDATE_TRUST_KEYS:-}
if [ "${1:-}" = "--trust-keys" ]; then
    trust_keys=$(realpath "${2:?--trust-keys takes a file}")
fi
if [ -z "$trust_keys" ]; then
    echo "warning: no --trust-keys: the packaged library will trust no update signing key" >&2
fi
# A build folder of its own, configured for /usr from the start, so the library lands in the
# multiarch folder Debian expects and no other script's cached options leave a program out.
cmake -S . -B build/deb -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DTEV_BUILD_TESTS=OFF -DTEV_BUILD_APP=ON -DTEV_BUILD_TOOLS=ON -DTEV_SANITIZE= -DTEV_FUZZ=OFF \
    -DTEV_UPDATE_TRUST_KEYS="$trust_keys"
cmake --build build/deb -j "$(nproc)"
rm -rf build/package
(cd build/deb && cpack -B "$PWD/../package")
ls -l build/package/*.deb
