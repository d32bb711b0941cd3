#!/usr/bin/env bash
# Builds the Debian package in a configured build folder (build/ unless
# given), checks it with lintian and the validators of its desktop entry,
# metainfo and manual pages, installs it, runs the installed programs (their
# versions, and an end-to-end test of the link against them), and removes it
# again. As root or via sudo:
#   packaging/check-package.sh [BUILD-DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"

rm -f "$build"/lumenfeed_*.deb
cmake --build "$build" --target package
deb=$(realpath "$build"/lumenfeed_*.deb)
version=$(dpkg-deb -f "$deb" Version)
echo "== $deb: $(du -k "$deb" | cut -f1) KiB, $(dpkg-deb -f "$deb" Installed-Size) KiB installed"
dpkg-deb -f "$deb" Depends Recommends

lintian --fail-on error "$deb"

# The files as the package holds them.
contents=$(mktemp -d /tmp/lumenfeed-package.XXXXXX)
trap 'rm -rf "$contents"' EXIT
dpkg-deb -x "$deb" "$contents"
desktop-file-validate "$contents"/usr/share/applications/lumenfeed.desktop
appstreamcli validate --no-net "$contents"/usr/share/metainfo/*.metainfo.xml
for program in lumenfeed fieldunit; do
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 \
             -l "$contents/usr/share/man/man1/$program.1.gz" 2>&1 >/dev/null)
  [ -z "$warnings" ] || { echo "$program.1: $warnings" >&2; exit 1; }
done

export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get install -y -q "$deb"
trap 'rm -rf "$contents"; $SUDO apt-get remove -y -q lumenfeed >/dev/null' EXIT
for program in lumenfeed fieldunit; do
  told=$(/usr/bin/$program --version)
  [ "$told" = "$program $version" ] || { echo "/usr/bin/$program --version: $told" >&2; exit 1; }
done
LUMEN_PROGRAM_DIR=/usr/bin ./scripts/headless.sh "$build"/tests/StudioLinkTest \
  --gtest_filter=StudioLink.TestPatternBothWays
