#!/usr/bin/env bash
# Installs a built tree into a temporary prefix and checks that everything a desktop looks
# for is there and passes the freedesktop validators.
# Usage: check-install-tree.sh BUILD_DIR PROJECT_VERSION
set -euo pipefail
build="$1"
version="$2"
id=example.quillmarsh.Tarrowin

for tool in cmake desktop-file-validate appstreamcli; do
    if ! command -v "$tool" >/dev/null; then
        echo "FAIL: $tool is missing (scripts/install-deps installs it)" >&2
        exit 1
    fi
done

prefix="$(mktemp -d)"
# cmake --install rewrites the build tree's install_manifest.txt, which the README's
# uninstall step reads: keep the one from the user's own install.
manifest="$build/install_manifest.txt"
saved=""
if [ -f "$manifest" ]; then
    saved="$prefix.manifest"
    cp -p "$manifest" "$saved"
fi
cleanup() {
    rm -rf "$prefix"
    if [ -n "$saved" ]; then
        mv -f "$saved" "$manifest"
    else
        rm -f "$manifest"
    fi
}
trap cleanup EXIT

if ! log="$(cmake --install "$build" --prefix "$prefix" 2>&1)"; then
    echo "$log" >&2
    echo "FAIL: cmake --install" >&2
    exit 1
fi

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

expected=(
    "bin/tarrowin"
    "share/applications/$id.desktop"
    "share/metainfo/$id.metainfo.xml"
    "share/icons/hicolor/scalable/apps/$id.svg"
    "libexec/tarrowin-sandbox-helper"
    "share/polkit-1/actions/$id.policy"
    "share/man/man1/tarrowin.1.gz"
    "share/doc/tarrowin/copyright"
    "share/doc/tarrowin/changelog.gz"
)
for size in 16 22 24 32 48 64 128 256; do
    expected+=("share/icons/hicolor/${size}x${size}/apps/$id.png")
done
for file in "${expected[@]}"; do
    [ -s "$prefix/$file" ] || fail "$file is not installed"
done
[ -x "$prefix/bin/tarrowin" ] || fail "bin/tarrowin is not executable"
grep -q "$prefix/libexec/tarrowin-sandbox-helper</annotate>" \
    "$prefix/share/polkit-1/actions/$id.policy" || fail "the polkit action does not name the helper"

# Each PNG must really be as large as the folder it sits in says: the bytes 16 to 23 of a
# PNG are its width and height, big-endian.
for size in 16 22 24 32 48 64 128 256; do
    png="$prefix/share/icons/hicolor/${size}x${size}/apps/$id.png"
    [ -f "$png" ] || continue
    dimensions="$(od -An -tu4 --endian=big -j16 -N8 "$png" | xargs)"
    [ "$dimensions" = "$size $size" ] || fail "$png is not ${size}x${size} but $dimensions"
done

# Compressed without a name or time in the gzip header (flags byte 3, time bytes 4 to 7), so
# the package's bytes do not depend on when it was built.
for gz in "$prefix/share/man/man1/tarrowin.1.gz" "$prefix/share/doc/tarrowin/changelog.gz"; do
    [ -f "$gz" ] || continue
    [ "$(od -An -tu1 -j3 -N5 "$gz" | xargs)" = "0 0 0 0 0" ] || fail "$gz names a file or a time"
done
manual="$prefix/share/man/man1/tarrowin.1.gz"
if [ -f "$manual" ] && command -v man >/dev/null; then
    out="$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$manual" 2>&1 >/dev/null)"
    [ -z "$out" ] || fail "the manual page does not render cleanly: $out"
fi
changelog="$prefix/share/doc/tarrowin/changelog.gz"
if [ -f "$changelog" ]; then
    top="$(zcat "$changelog" | head -n 1)"
    [[ "$top" == "tarrowin ($version) "* ]] || fail "the changelog begins with $top, not $version"
fi

desktop="$prefix/share/applications/$id.desktop"
if [ -f "$desktop" ]; then
    # Errors make it exit non-zero; warnings are faults too. Hints are advice only.
    if ! out="$(desktop-file-validate "$desktop" 2>&1)" || grep -qi 'warning:' <<<"$out"; then
        echo "$out" >&2
        fail "desktop-file-validate $desktop"
    fi
    grep -qx "Icon=$id" "$desktop" || fail "the menu entry does not name the installed icon"
    grep -qx "Exec=tarrowin" "$desktop" || fail "the menu entry does not start bin/tarrowin"
fi

metainfo="$prefix/share/metainfo/$id.metainfo.xml"
if [ -f "$metainfo" ]; then
    # Fails on errors and warnings; pedantic remarks stay off.
    if ! out="$(appstreamcli validate --no-net "$metainfo" 2>&1)"; then
        echo "$out" >&2
        fail "appstreamcli validate $metainfo"
    fi
    grep -q "<release version=\"$version\"" "$metainfo" ||
        fail "the AppStream release is not the project's version $version"
fi
# The tree as a whole: the metainfo's launchable, the desktop entry and its icons agree.
if ! out="$(appstreamcli validate-tree --no-net "$prefix" 2>&1)"; then
    echo "$out" >&2
    fail "appstreamcli validate-tree"
fi

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed in the installed tree" >&2
    exit 1
fi
echo "The installed tree is complete and valid: ${#expected[@]} files"
