#!/usr/bin/env bash
# Runs the source package's autopkgtest (debian/tests) on this machine's own
# .deb with the null runner, which installs the package here for real. apt
# runs in a private mount namespace whose sources, pins, lists and cache are
# empty: the runner's local repository of the .deb is all it sees, so it
# needs no network and leaves the machine's apt state as it was. The package
# is reinstalled on every run (so the .deb in dist is what is tested), and
# removed again when it was not installed before.
set -euo pipefail
dist=$1
version=$2
deb=$dist/comscan_${version}_$(dpkg --print-architecture).deb
dsc=$dist/comscan_$version.dsc
if [[ ! -f $deb || ! -f $dsc ]]; then
  echo "skipped: no $deb or $dsc, run scripts/release.sh"
  exit 77
fi
if [[ $(id -u) -ne 0 ]] || ! unshare --mount true 2>/dev/null; then
  echo "skipped: installing the package and a private apt state need root and mount namespaces"
  exit 77
fi

before=$(dpkg-query -W -f='${Status}' comscan 2>/dev/null || true)
status=0
unshare --mount --propagation private bash -euo pipefail -c '
  for dir in /etc/apt/sources.list.d /etc/apt/preferences.d /var/lib/apt/lists /var/cache/apt; do
    mount -t tmpfs tmpfs "$dir"
  done
  mkdir -p /var/lib/apt/lists/partial /var/cache/apt/archives/partial
  [[ ! -e /etc/apt/sources.list ]] || mount --bind /dev/null /etc/apt/sources.list
  # Another apt at work on this machine makes the install wait, not fail.
  echo "DPkg::Lock::Timeout \"300\";" >/var/cache/apt/lock-wait.conf
  export APT_CONFIG=/var/cache/apt/lock-wait.conf
  exec autopkgtest "$@" -- null' autopkgtest "$deb" "$dsc" || status=$?
[[ $before == "install ok installed" ]] || dpkg --purge comscan >/dev/null

# autopkgtest's 2: every test that ran passed, some were skipped.
case $status in
  0) exit 0 ;;
  2) echo "skipped: autopkgtest skipped a test (see above)"; exit 77 ;;
  *) exit 1 ;;
esac
