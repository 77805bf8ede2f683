#!/usr/bin/env bash
# Builds the Debian packages from this build and checks them as a packager would: contents,
# lintian (errors fail), the desktop entry, and every manual page rendering.
set -euo pipefail
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

(cd "$work" && cpack --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1) ||
    { cat "$work/cpack.log"; fail "cpack failed"; }
shopt -s nullglob
debs=("$work"/out/*.deb)
[ ${#debs[@]} -ge 3 ] || fail "expected the library, development and tools packages: ${debs[*]}"
listing="$work/listing"
for deb in "${debs[@]}"; do
    echo "== $(basename "$deb")"
    dpkg-deb -f "$deb" Package Depends
    dpkg-deb -c "$deb" | tee -a "$listing" | awk '{print "  " $6}'
done
for f in ./usr/bin/tev-download ./usr/bin/tev-report-collector ./usr/bin/tev-test-server \
    ./usr/include/tevdownload/downloadlib.h tevdownload.pc libtevdownload.so.3 \
    ./usr/share/man/man1/tev-download.1.gz ./usr/share/man/man1/tev-report-collector.1.gz \
    lib/systemd/system/tev-report-collector.service; do
    grep -q -- "$f" "$listing" || fail "no package holds $f"
done
if [ -e "$build/app/tev-downloader" ]; then
    grep -q ./usr/share/applications/tev-downloader.desktop "$listing" || fail "no desktop entry"
fi
# The tools need the library's own package, worked out from the binaries.
for deb in "${debs[@]}"; do
    dpkg-deb -f "$deb" Package | grep -q '^tev-tools$' || continue
    dpkg-deb -f "$deb" Depends | grep -q 'libc6' || fail "tools package without worked-out dependencies"
done

mkdir -p "$work/tree"
for deb in "${debs[@]}"; do dpkg-deb -x "$deb" "$work/tree"; done
for desktop in "$work"/tree/usr/share/applications/*.desktop; do
    desktop-file-validate "$desktop" || fail "desktop entry invalid"
done
for page in "$work"/tree/usr/share/man/man1/*.1.gz; do
    out=$(MANWIDTH=80 man -l "$page" 2>"$work/man.err" | col -b)
    echo "$out" | grep -q '^NAME' || fail "$(basename "$page") does not render"
    [ ! -s "$work/man.err" ] || { cat "$work/man.err"; fail "$(basename "$page") warns"; }
done
if command -v lintian >/dev/null; then
    for deb in "${debs[@]}"; do
        lintian --no-tag-display-limit "$deb" >"$work/lintian.log" 2>&1 || true
        if grep -q '^E:' "$work/lintian.log"; then
            cat "$work/lintian.log"
            fail "lintian errors in $(basename "$deb")"
        fi
    done
else
    echo "lintian not installed: package lint skipped"
fi
echo "package test passed"
