#!/usr/bin/env bash
# Builds the packages and checks them the way users get them (root only,
# since it installs into the system):
#   - the .deb: lintian reports no error; dpkg -i installs it; the installed
#     /usr/bin/Velmorix converts a real image; `man Velmorix` shows the
#     manual; dpkg -r removes every file it installed;
#   - the .tar.gz: its bin/Velmorix converts a real image;
#   - the Windows .zip: its Velmorix.exe converts a real image under Wine.
# Expected images are assembled by Python from slices of the source.
#   tests/package/test_packages.sh
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD

if [ "$(id -u)" -ne 0 ]; then
  echo "skipped: installing a package needs root" >&2
  exit 0
fi

work=$(mktemp -d /tmp/velmorix-package-test.XXXXXX)
cleanup() {
  dpkg -r velmorix >/dev/null 2>&1 || true
  if [ -n "${WINEPREFIX:-}" ]; then wineserver -k 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }
step() { echo; echo "== $*"; }

# A random source image and its expected conversion.
python3 - "$work" <<'PYTHON'
import os, sys
work = sys.argv[1]
source = os.urandom(786432)
target = (source[0x00000:0x08000] + bytes(0x10000) + source[0x08000:0x90000]
          + source[0xA0000:0xC0000] + source[0x90000:0xA0000])
open(os.path.join(work, "source.bin"), "wb").write(source)
open(os.path.join(work, "expected.bin"), "wb").write(target)
PYTHON

# Runs CONVERTER... on a fresh copy of the source in a fresh directory and
# checks status, stdout and the files left.
check_conversion() {
  local dir
  dir=$(mktemp -d "$work/run.XXXXXX")
  cp "$work/source.bin" "$dir/dump.bin"
  local stdout status=0
  stdout=$(cd "$dir" && "$@" dump.bin) || status=$?
  [ "$status" -eq 0 ] || fail "$* exited with $status"
  [ -z "$stdout" ] || fail "$* printed: $stdout"
  cmp "$dir/dump_raw.bin" "$work/expected.bin" || fail "$*: wrong image"
  cmp "$dir/dump.bin" "$work/source.bin" || fail "$*: source changed"
  [ "$(ls -A "$dir" | tr '\n' ' ')" = "dump.bin dump_raw.bin " ] ||
    fail "$*: left $(ls -A "$dir")"
  echo "conversion by $*: ok"
}

step "Linux packages"
rm -rf build/package
cmake --workflow --preset package >/dev/null
deb=$(ls build/package/velmorix_*.deb)
tgz=$(ls build/package/velmorix-*-Linux.tar.gz)
ls -l "$deb" "$tgz"
dpkg-deb --info "$deb"

step "lintian"
lintian --info --display-info "$deb" || fail "lintian reports errors"

step "install"
dpkg -i "$deb"
dpkg -L velmorix > "$work/installed"
[ -x /usr/bin/Velmorix ] || fail "/usr/bin/Velmorix missing"
check_conversion /usr/bin/Velmorix
usage=$(Velmorix | od -c)
echo "$usage" | grep -q 'U   s   a   g   e' || fail "no usage text"
manual=$(MANPAGER=cat MANWIDTH=80 man Velmorix 2>&1)
echo "$manual" | grep -q "Velmorix $(sed -n 's/^project(Velmorix VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)" ||
  fail "man Velmorix does not show the manual with its version: $manual"
echo "$manual" | grep -q '^EXIT STATUS' || fail "manual has no EXIT STATUS"
echo "man Velmorix: ok"

step "remove"
dpkg -r velmorix
status=$(dpkg-query -W -f='${db:Status-Status}' velmorix 2>/dev/null || true)
[ -z "$status" ] || [ "$status" = "not-installed" ] ||
  fail "dpkg still lists velmorix as $status"
while read -r path; do
  case "$path" in
    /.|/usr|/usr/bin|/usr/share|/usr/share/doc|/usr/share/man|/usr/share/man/man1) ;;
    *) [ ! -e "$path" ] || fail "left behind: $path" ;;
  esac
done < "$work/installed"
echo "nothing left behind"

step "tar.gz"
mkdir "$work/tgz"
tar -xzf "$tgz" -C "$work/tgz"
check_conversion "$(ls -d "$work"/tgz/velmorix-*)/bin/Velmorix"

step "Windows zip"
rm -rf build/windows-release
cmake --workflow --preset windows-package >/dev/null
zip=$(ls build/windows-release/Velmorix-*-win64.zip)
ls -l "$zip"
mkdir "$work/zip"
(cd "$work/zip" && cmake -E tar xf "$root/$zip")
for file in Velmorix.exe README.md LICENSE.txt Velmorix-manual.txt; do
  [ -f "$work/zip/$file" ] || fail "zip lacks $file"
done
export WINEPREFIX="$work/wineprefix" WINEDEBUG=-all LC_ALL=C.UTF-8
export WINEDLLOVERRIDES="winedbg.exe,mscoree,mshtml=d"
mkdir -p "$WINEPREFIX"
wineserver -p </dev/null >/dev/null 2>&1
wineboot -i </dev/null >/dev/null 2>&1
check_conversion wine "$work/zip/Velmorix.exe"

echo
echo "packages: all checks passed"
