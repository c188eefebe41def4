# shellcheck shell=bash
# Debian packages through apt-get, made to survive a mirror in trouble.
# Sourced by scripts/deps.sh and scripts/x86lane.sh:
#
#   apt_missing PKG...   prints the packages among PKG that are not installed
#   apt_update           apt-get update, tried KV_APT_TRIES times (default 3)
#                        KV_APT_PAUSE seconds apart (default 10); once per
#                        process. When every try fails it says so in one line
#                        and returns 1, and the lists apt has are used as they
#                        are: an install may still succeed with them.
#   apt_install PKG...   installs those of PKG that are missing (no
#                        recommended packages). Returns 0 when all are there.
#                        Otherwise it installs what it can, prints one line
#                        per package that cannot be installed with apt's own
#                        message, keeps those lines in apt_failures and
#                        returns 1.
#
# As root, or through sudo.

apt_sudo=()
[ "$(id -u)" -eq 0 ] || apt_sudo=(sudo)
apt_updated=""
apt_update_error=""
apt_failures=()

apt_get() {
  "${apt_sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -q -o DPkg::Lock::Timeout=300 "$@"
}

apt_missing() {
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -qx 'install ok installed' || echo "$p"
  done
}

# apt's message in one line: its errors and failed fetches (not the line
# that only says that some index files failed), and the first of the unmet
# dependencies when it lists them.
apt_message() {
  local errors unmet
  errors=$(grep -E '^(E:|W: Failed to fetch)' <<<"$1" \
    | grep -v '^[EW]: Some index files failed to download' \
    | sed -E 's/[[:space:]]+/ /g' | paste -sd ' ' -)
  unmet=$(sed -n '/unmet dependencies:/{n;p;q}' <<<"$1" | sed -E 's/[[:space:]]+/ /g; s/^ //')
  [ -n "$unmet" ] && errors="$errors (first unmet dependency: $unmet)"
  [ -n "$errors" ] || errors=$(grep -v '^[[:space:]]*$' <<<"$1" | tail -n 1)
  echo "${errors:-no message}"
}

apt_update() {
  [ -z "$apt_updated" ] || return "$apt_updated"
  local tries=${KV_APT_TRIES:-3} pause=${KV_APT_PAUSE:-10} i out
  for ((i = 1; ; i++)); do
    # A source that cannot be reached is only a warning to apt-get update
    # (exit status 0): a failure all the same.
    if out=$(apt_get update 2>&1) && ! grep -q '^W: Failed to fetch' <<<"$out"; then
      apt_updated=0 apt_update_error=""
      return 0
    fi
    apt_update_error=$(apt_message "$out")
    [ "$i" -lt "$tries" ] || break
    echo "apt: apt-get update failed (try $i of $tries), again in ${pause}s: $apt_update_error" >&2
    sleep "$pause"
  done
  echo "apt: apt-get update failed (tried $tries times); going on with the package lists as they are:" \
    "$apt_update_error" >&2
  apt_updated=1
  return 1
}

apt_install() {
  local missing=() p out line rc=0
  mapfile -t missing < <(apt_missing "$@")
  [ ${#missing[@]} -gt 0 ] || return 0
  apt_update || true
  echo "apt: installing ${missing[*]}"
  if out=$(apt_get install -y --no-install-recommends "${missing[@]}" 2>&1); then
    return 0
  fi
  # One at a time: what can be installed is, and each one that cannot is named.
  for p in "${missing[@]}"; do
    [ -n "$(apt_missing "$p")" ] || continue
    out=$(apt_get install -y --no-install-recommends "$p" 2>&1) && continue
    rc=1
    line="cannot install $p: $(apt_message "$out")"
    [ -n "$apt_update_error" ] && line="$line (apt-get update had failed: $apt_update_error)"
    apt_failures+=("$line")
    echo "apt: $line" >&2
  done
  return $rc
}
