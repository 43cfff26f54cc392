#!/usr/bin/env bash
# Installs the build into a temporary root and checks what lands there: the programs, the desktop
# entry, the icon in every size, the AppStream metadata and the manual pages, each validated with
# the tool that desktops and software centres use. Then builds the Debian package and checks that
# it holds the same files and depends on Qt.
# Usage: install_test.sh BUILD_DIR SOURCE_DIR HAS_PASSTHROUGH(0|1)
set -euo pipefail

build=${1:?build directory}
src=${2:?source directory}
has_passthrough=${3:-0}
appstream_id=invalid.vaskel.vaskel
icon_sizes=(16 24 32 48 64 128 256)

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# Every tool is needed: a missing one fails the test rather than skipping a check.
missing=()
for tool in cmake cpack desktop-file-validate appstreamcli file dpkg-deb dpkg-shlibdeps; do
  command -v "$tool" >/dev/null || missing+=("$tool")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "FAIL: missing tools: ${missing[*]} (scripts/deps.sh installs them)" >&2
  exit 1
fi

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
root=$tmp/root

echo "== cmake --install into $root"
if ! DESTDIR=$root cmake --install "$build" --prefix /usr >"$tmp/install.log" 2>&1; then
  cat "$tmp/install.log" >&2
  echo "FAIL: cmake --install failed" >&2
  exit 1
fi

expected=(usr/bin/vaskel)
[ "$has_passthrough" = 1 ] && expected+=(usr/bin/vaskel-passthrough)
expected+=(usr/share/applications/vaskel.desktop)
for size in "${icon_sizes[@]}"; do
  expected+=("usr/share/icons/hicolor/${size}x${size}/apps/vaskel.png")
done
expected+=(usr/share/icons/hicolor/scalable/apps/vaskel.svg)
expected+=("usr/share/metainfo/$appstream_id.metainfo.xml")
shopt -s nullglob
pages=("$src"/man/*.1)
shopt -u nullglob
[ ${#pages[@]} -gt 0 ] || fail "no manual page in $src/man"
for page in "${pages[@]}"; do
  expected+=("usr/share/man/man1/$(basename "$page")")
done

echo "== file list"
printf '%s\n' "${expected[@]}" | LC_ALL=C sort >"$tmp/expected"
(cd "$root" && find . ! -type d | sed 's|^\./||' | LC_ALL=C sort) >"$tmp/installed"
if ! diff -u "$tmp/expected" "$tmp/installed" >"$tmp/list.diff"; then
  cat "$tmp/list.diff" >&2
  fail "installed files differ from the expected list (- expected, + installed)"
fi

echo "== programs"
for prog in vaskel vaskel-passthrough; do
  [ "$prog" = vaskel-passthrough ] && [ "$has_passthrough" != 1 ] && continue
  f=$root/usr/bin/$prog
  if [ ! -x "$f" ]; then
    fail "$prog is not an executable file"
  elif ! file -b "$f" | grep -q '^ELF .* executable'; then
    fail "$prog is not an ELF executable: $(file -b "$f")"
  fi
done

echo "== desktop entry"
desktop=$root/usr/share/applications/vaskel.desktop
if [ -f "$desktop" ]; then
  desktop-file-validate "$desktop" || fail "desktop-file-validate rejects vaskel.desktop"
  grep -qx 'Exec=vaskel' "$desktop" || fail "vaskel.desktop does not start vaskel"
  grep -qx 'Icon=vaskel' "$desktop" || fail "vaskel.desktop does not name the vaskel icon"
fi

echo "== AppStream metadata"
metainfo=$root/usr/share/metainfo/$appstream_id.metainfo.xml
if [ -f "$metainfo" ]; then
  appstreamcli validate --no-net "$metainfo" || fail "appstreamcli rejects the metainfo"
  grep -q "<id>$appstream_id</id>" "$metainfo" || fail "the metainfo id is not $appstream_id"
  grep -q '<launchable type="desktop-id">vaskel.desktop</launchable>' "$metainfo" ||
    fail "the metainfo does not launch vaskel.desktop"
fi

echo "== icons"
for size in "${icon_sizes[@]}"; do
  png=$root/usr/share/icons/hicolor/${size}x${size}/apps/vaskel.png
  [ -f "$png" ] || continue
  kind=$(file -b "$png")
  [[ "$kind" == "PNG image data, $size x $size, "* ]] || fail "${size}x$size icon is: $kind"
done
svg=$root/usr/share/icons/hicolor/scalable/apps/vaskel.svg
if [ -f "$svg" ]; then
  file -b "$svg" | grep -q 'SVG' || fail "vaskel.svg is not SVG: $(file -b "$svg")"
fi

echo "== manual pages"
for page in "${pages[@]}"; do
  f=$root/usr/share/man/man1/$(basename "$page")
  [ -f "$f" ] || continue
  grep -q '^\.TH ' "$f" || fail "$(basename "$page") has no .TH title line"
  grep -q '^\.SH NAME' "$f" || fail "$(basename "$page") has no NAME section"
done

echo "== Debian package"
if ! cpack --config "$build/CPackConfig.cmake" -B "$tmp/pkg" >"$tmp/cpack.log" 2>&1; then
  cat "$tmp/cpack.log" >&2
  echo "FAIL: cpack failed" >&2
  exit 1
fi
debs=("$tmp"/pkg/vaskel_*.deb)
if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then
  cat "$tmp/cpack.log" >&2
  echo "FAIL: cpack made no single vaskel_*.deb" >&2
  exit 1
fi
deb=${debs[0]}
echo "built $(basename "$deb")"
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sed 's|^\./||' | LC_ALL=C sort >"$tmp/packaged"
if ! diff -u "$tmp/installed" "$tmp/packaged" >"$tmp/deb.diff"; then
  cat "$tmp/deb.diff" >&2
  fail "the package holds other files than the install (- installed, + packaged)"
fi
[ "$(dpkg-deb -f "$deb" Package)" = vaskel ] || fail "the package is not named vaskel"
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
[ -n "$depends" ] || fail "the package has no Depends"
[[ "$depends" == *libqt6* ]] || fail "the package does not depend on a libqt6 library"

if [ $failures -gt 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "all package checks passed"
