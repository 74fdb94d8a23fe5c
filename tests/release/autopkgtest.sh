#!/usr/bin/env bash
# debian/tests on this machine's own .deb, with the null runner, which
# installs it here for real (again on every run, so dist/'s is the one
# tested; removed afterwards unless it was installed before). apt runs in a
# private mount namespace with empty sources, pins, lists and cache: it sees
# only the runner's local repository, needs no network, and leaves the
# machine's apt state as it was.
set -euo pipefail
deb=$1/comscan_$2_$(dpkg --print-architecture).deb dsc=$1/comscan_$2.dsc
[[ -f $deb && -f $dsc ]] || { echo "skipped: no $deb or $dsc, run scripts/release.sh"; exit 77; }
[[ $(id -u) -eq 0 ]] && unshare --mount true 2>/dev/null ||
  { echo "skipped: the null runner and a private apt state need root and mount namespaces"; exit 77; }
before=$(dpkg-query -W -f='${Status}' comscan 2>/dev/null || true)
status=0
unshare --mount --propagation private bash -euo pipefail -c '
  for dir in /etc/apt/sources.list.d /etc/apt/preferences.d /var/lib/apt/lists /var/cache/apt; do
    mount -t tmpfs tmpfs "$dir"
  done
  mkdir -p /var/lib/apt/lists/partial /var/cache/apt/archives/partial
  [[ ! -e /etc/apt/sources.list ]] || mount --bind /dev/null /etc/apt/sources.list
  # Another apt at work on this machine makes the install wait, not fail.
  echo "DPkg::Lock::Timeout \"300\";" >/var/cache/apt/wait.conf
  APT_CONFIG=/var/cache/apt/wait.conf exec autopkgtest "$@" -- null' - "$deb" "$dsc" || status=$?
[[ $before == "install ok installed" ]] || dpkg --purge comscan >/dev/null
# autopkgtest's 2: what ran passed, something was skipped.
case $status in 0) ;; 2) exit 77 ;; *) exit 1 ;; esac
