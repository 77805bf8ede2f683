#!/usr/bin/env bash
# Installs the build into a private DESTDIR and uses it as a user and a C developer would:
# the installed tev-download fetches a file list from the test server, and a C host built with
# pkg-config alone initialises and finalises the installed library.
set -euo pipefail
build=$1
here=$2
host_flags=${3:-}

work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

root="$work/root"
DESTDIR="$root" cmake --install "$build" --prefix /usr >"$work/install.log"
# lib or lib/<multiarch>, as GNUInstallDirs chose for the configured prefix.
pc=$(cd "$root/usr" && find lib -name tevdownload.pc | head -n 1)
[ -n "$pc" ] || fail "no tevdownload.pc installed"
libdir=$(dirname "$(dirname "$pc")")

for f in bin/tev-download bin/tev-report-collector bin/tev-test-server \
    include/tevdownload/downloadlib.h "$libdir/pkgconfig/tevdownload.pc" \
    "$libdir/cmake/TevDownload/TevDownloadConfig.cmake" \
    share/man/man1/tev-download.1.gz share/man/man1/tev-report-collector.1.gz \
    lib/systemd/system/tev-report-collector.service; do
    [ -e "$root/usr/$f" ] || fail "not installed: $f"
done
if [ -e "$build/app/tev-downloader" ]; then
    for f in bin/tev-downloader share/applications/tev-downloader.desktop \
        share/icons/hicolor/48x48/apps/tev-downloader.png \
        share/icons/hicolor/256x256/apps/tev-downloader.png; do
        [ -e "$root/usr/$f" ] || fail "not installed: $f"
    done
fi
if [ -e "$build/tools/publish/tev-publish" ]; then
    [ -e "$root/usr/share/man/man1/tev-publish.1.gz" ] || fail "no manual page for tev-publish"
fi
# The shared library carries its SONAME and the usual link chain.
soname=$(objdump -p "$root/usr/$libdir/libtevdownload.so" | awk '/SONAME/ {print $2}')
[ "$soname" = "libtevdownload.so.3" ] || fail "SONAME is '$soname'"
[ -e "$root/usr/$libdir/$soname" ] || fail "no $soname"

# The installed command-line host downloads a file list from the test server.
mkdir -p "$work/site/game" "$work/home"
head -c 300000 /dev/urandom >"$work/site/game/data.pak"
"$root/usr/bin/tev-test-server" --root "$work/site" --port 0 --port-file "$work/port" --quiet &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.1; done
[ -s "$work/port" ] || fail "the installed test server did not start"
base="http://127.0.0.1:$(cat "$work/port")/game"
printf '%s\r\n' "$base/data.pak" >"$work/site/game/filelist.txt"
# The host may link the shared library; the tree's library folder is not on the loader's path.
export LD_LIBRARY_PATH="$root/usr/$libdir"
HOME="$work/home" XDG_DATA_HOME="$work/home/data" TEV_REPORT_SERVER=127.0.0.1:1 \
    "$root/usr/bin/tev-download" --quiet --folder "$work/download" "$base/filelist.txt" ||
    fail "the installed tev-download failed ($?)"
cmp "$work/site/game/data.pak" "$work/download/data.pak" || fail "downloaded file differs"

# A C host from pkg-config alone.
export PKG_CONFIG_SYSROOT_DIR="$root" PKG_CONFIG_LIBDIR="$root/usr/$libdir/pkgconfig"
# shellcheck disable=SC2046
cc $host_flags -o "$work/c_host" "$here/c_host.c" $(pkg-config --cflags --libs tevdownload) ||
    fail "the C host did not build with pkg-config"
HOME="$work/home" XDG_DATA_HOME="$work/home/data" "$work/c_host" || fail "the C host failed"
# The same host through find_package(TevDownload).
mkdir -p "$work/cmake_host"
cp "$here/c_host.c" "$work/cmake_host/"
cat >"$work/cmake_host/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.25)
project(c_host C)
find_package(TevDownload 3 REQUIRED)
add_executable(c_host c_host.c)
target_link_libraries(c_host PRIVATE TevDownload::tevdownload)
CMAKE
cmake -S "$work/cmake_host" -B "$work/cmake_host/build" -DCMAKE_PREFIX_PATH="$root/usr" \
    -DCMAKE_C_FLAGS="$host_flags" >"$work/cmake_host.log" 2>&1 &&
    cmake --build "$work/cmake_host/build" >>"$work/cmake_host.log" 2>&1 ||
    { cat "$work/cmake_host.log"; fail "find_package(TevDownload) did not give a working target"; }
HOME="$work/home" XDG_DATA_HOME="$work/home/data" "$work/cmake_host/build/c_host" ||
    fail "the CMake host failed"
echo "install test passed"
