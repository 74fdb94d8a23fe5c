# Sourced by the scripts that fetch packages by name (scripts/emulator.sh,
# scripts/wine32.sh): an apt state of their own, so that neither the
# system's packages nor its indexes (one of which may be caught mid-sync)
# have a say, and nothing is installed into the system.

# private_apt DIR SUITE ARCH: makes DIR an apt state that sees SUITE's main
# component for ARCH alone, from the Debian archive this machine already
# uses, and fetches that one index; apt_options then holds the options that
# make apt-get use it. Calls the sourcing script's fail with the reason when
# it cannot.
private_apt() {
  local dir=$1 suite=$2 arch=$3 uri log=$1/log
  # The archive's address as this machine has it; none is written here.
  local sources=/etc/apt/sources.list.d/debian.sources
  local keyring=/usr/share/keyrings/debian-archive-keyring.gpg
  [[ -r "$sources" ]] || fail "no $sources to take the Debian archive's address from"
  uri=$(awk '/^URIs:/ && !/security/ { print $2; exit }' "$sources")
  [[ -n "$uri" ]] || fail "no archive URI in $sources"
  [[ -r "$keyring" ]] || fail "no $keyring to check the $suite index with"

  rm -rf "$dir"
  mkdir -p "$dir"/{state/lists/partial,cache/archives/partial,etc/preferences.d,etc/sources.list.d,download}
  echo "deb [signed-by=$keyring] $uri $suite main" >"$dir/etc/sources.list"
  apt_options=(-q -o "Dir::State=$dir/state" -o "Dir::State::status=$dir/state/status"
               -o "Dir::Cache=$dir/cache" -o "Dir::Etc::SourceList=$dir/etc/sources.list"
               -o "Dir::Etc::SourceParts=$dir/etc/sources.list.d"
               -o "Dir::Etc::Preferences=$dir/etc/preferences"
               -o "Dir::Etc::PreferencesParts=$dir/etc/preferences.d"
               -o "APT::Architecture=$arch" -o "APT::Architectures=$arch"
               -o "Acquire::Retries=1" -o "Acquire::http::Timeout=20")
  touch "$dir/state/status"
  # apt drops to its sandbox user for downloads: let it write there.
  chown -R _apt "$dir/state/lists" "$dir/cache/archives" "$dir/download" 2>/dev/null || true

  apt-get "${apt_options[@]}" update >"$log" 2>&1 ||
    fail "apt-get update of $suite failed: $(grep -m1 -E '^(E|W):' "$log" || tail -n1 "$log")"
  # apt-get update reports a missing index as a warning only.
  if grep -q -E '^(E|W): Failed to fetch' "$log"; then
    fail "the $suite index could not be fetched: $(grep -m1 -E '^(E|W):' "$log")"
  fi
}
