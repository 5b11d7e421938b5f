#!/usr/bin/env bash
# Builds the Debian package and checks it with lintian: installs what that needs (debhelper, devscripts,
# lintian, dpkg-dev and the build dependencies), builds with dpkg-buildpackage -b -us -uc in a copy of
# the tree (the tracked and new files, not the build directories) and leaves the .deb, .changes and
# .buildinfo and lintian's report in dist/. Any lintian error or warning fails the run. As root.
# DEB_BUILD_OPTIONS=nocheck skips the unit tests that run at build time. With the argument "check" it
# then installs the package with dpkg -i, shows what it holds and that no unit was enabled, purges it
# with apt-get purge and compares the file system before and after (fails on any file left behind).
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=SCRIPTDIR/lab.sh
source scripts/lab.sh package
lab_need_root "apt-get installs the build dependencies"
lab_install debhelper devscripts lintian dpkg-dev fakeroot equivs
# The build dependencies, from debian/control itself.
mk-build-deps --install --remove --tool 'apt-get -o DPkg::Lock::Timeout=600 -y -qq --no-install-recommends' \
  debian/control >/dev/null

version=$(dpkg-parsechangelog -S Version)
work=$(mktemp -d /tmp/tamrod-package.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir "$work/tamrod-$version"
git ls-files -z --cached --others --exclude-standard | tar -c --null -T - | tar -x -C "$work/tamrod-$version"

start=$(date +%s)
(cd "$work/tamrod-$version" && dpkg-buildpackage -b -us -uc) >"$work/build.log" 2>&1 ||
  { tail -60 "$work/build.log"; echo "package: dpkg-buildpackage failed" >&2; exit 1; }
secs=$(($(date +%s) - start))
mkdir -p dist
cp "$work"/*.deb "$work"/*.changes "$work"/*.buildinfo dist/
grep -E '^(100% tests passed|[0-9]+% tests passed)' "$work/build.log" || true
changes=$(ls dist/tamrod_"${version}"_*.changes)
lintian --info --display-info --pedantic "$changes" | tee dist/lintian.txt || true
deb=$(ls dist/tamrod_"${version}"_*.deb)
echo "package: $deb, $(stat -c %s "$deb") bytes, built in $secs s"
if grep -qE '^[EW]: ' dist/lintian.txt; then
  echo "package: lintian reports errors or warnings" >&2
  exit 1
fi

[[ ${1:-} == check ]] || exit 0
if dpkg-query -W -f='${Status}' tamrod 2>/dev/null | grep -q 'install ok installed'; then
  echo "package: tamrod is installed already; not touching it" >&2
  exit 1
fi
snapshot() {
  find /etc /usr /lib /var/lib/dpkg/info /var/lib/systemd -xdev -print 2>/dev/null | sort
}
snapshot >"$work/before"
dpkg -i "$deb" >/dev/null
echo "package: installed; its files:"
dpkg -L tamrod | sed 's/^/  /'
if find /etc/systemd/system -lname '*tamrod*' 2>/dev/null | grep -q .; then
  echo "package: installing enabled a unit" >&2
  exit 1
fi
apt-get -o DPkg::Lock::Timeout=600 -y -qq purge tamrod >/dev/null
snapshot >"$work/after"
# Other installs may run at the same time: what they change is shown, only a path of ours fails.
new=$(comm -13 "$work/before" "$work/after")
gone=$(comm -23 "$work/before" "$work/after")
left=$(grep -i tamrod <<<"$new" || true)
echo "package: purged; $(wc -l <"$work/before") paths before, $(wc -l <"$work/after") after"
[[ -z $gone ]] || printf 'package: gone meanwhile (not ours):\n%s\n' "$gone"
[[ -z $new || -n $left ]] || printf 'package: appeared meanwhile (not ours):\n%s\n' "$new"
if [[ -n $left ]]; then
  printf 'package: left behind:\n%s\n' "$left" >&2
  exit 1
fi
echo "package: nothing left behind"
