#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, when any is missing.
set -euo pipefail

packages=(
    cmake g++ pkg-config ninja-build make ccache
    libgtest-dev libgmock-dev
    libssl-dev openssl zlib1g-dev libminizip-dev libarchive-dev libsqlite3-dev sqlite3
    postgresql libpq-dev
    qt6-base-dev fonts-wqy-microhei
    zip 7zip
    locales
    clang-14 libclang-rt-14-dev
    nginx-light curl python3
    libcurl4-openssl-dev wget2 axel aria2
    opentracker iproute2 libtorrent-rasterbar-dev
    xvfb xauth
    chromium
    help2man dpkg-dev desktop-file-utils lintian man-db file
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    apt_get=(apt-get)
    [ "$(id -u)" -ne 0 ] && apt_get=(sudo apt-get)
    "${apt_get[@]}" update
    DEBIAN_FRONTEND=noninteractive "${apt_get[@]}" install -y --no-install-recommends "${missing[@]}"
fi
