#!/usr/bin/env bash
# Builds the Debian package in a configured build folder (build/ unless
# given), checks it with lintian and the validators of its desktop entry,
# metainfo and manual pages, checks and tests the example alerting rules and
# reads the example dashboard, installs it, checks the service's unit and
# user, runs the installed programs (their versions, and an end-to-end test
# of the link against them), and removes it again. As root or via sudo:
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

lintian --fail-on error,warning "$deb"

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

# The monitoring examples as installed: the rules as Prometheus reads them,
# their tests against series of several receivers, the dashboard as JSON.
examples="$contents/usr/share/doc/lumenfeed/examples"
promtool check rules "$examples/lumenfeed-alerts.yml"
cmp "$examples/lumenfeed-alerts.yml" packaging/monitoring/lumenfeed-alerts.yml
promtool test rules packaging/monitoring/lumenfeed-alerts.test.yml
perl -MJSON::PP -e 'local $/; my $d = decode_json(<STDIN>);
  @{$d->{panels}} or die "no panels\n";
  grep { $_->{name} eq "instance_name" } @{$d->{templating}{list}} or die "no instance_name\n"' \
  < "$examples/lumenfeed-dashboard.json"
test -s "$examples/lumenfeed.conf"

export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get install -y -q "$deb"
trap 'rm -rf "$contents"; $SUDO apt-get remove -y -q lumenfeed >/dev/null' EXIT
# The service: its unit as systemd reads it (as an instance of the template,
# with its program and manual page in place), and the user it runs as.
unit=/usr/lib/systemd/system/lumenfeed@.service
verified=$(systemd-analyze verify "$unit" 2>&1) || { echo "$unit: $verified" >&2; exit 1; }
[ -z "$verified" ] || { echo "$unit: $verified" >&2; exit 1; }
getent passwd lumenfeed >/dev/null || { echo "no user lumenfeed" >&2; exit 1; }
id -nG lumenfeed | grep -qw audio || { echo "lumenfeed is not in the group audio" >&2; exit 1; }
for program in lumenfeed fieldunit; do
  told=$(/usr/bin/$program --version)
  [ "$told" = "$program $version" ] || { echo "/usr/bin/$program --version: $told" >&2; exit 1; }
done
LUMEN_PROGRAM_DIR=/usr/bin ./scripts/headless.sh "$build"/tests/StudioLinkTest \
  --gtest_filter=StudioLink.TestPatternBothWays
