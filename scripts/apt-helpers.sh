# shellcheck shell=bash
# Sourced by the scripts that fetch Debian packages. A package mirror in the middle of a sync can fail
# one index or one download for a while: a failed `apt-get update` warns and lets the install decide,
# and a failed install or download is tried once more on fresh lists before it fails, naming the
# packages. Runs apt-get as the caller is: root, or through $SUDO when it is set.

apt_get() {
  if [ -n "${SUDO:-}" ]; then "$SUDO" apt-get "$@"; else apt-get "$@"; fi
}

# Fetches the package lists; a list that cannot be fetched leaves the one already there.
apt_update() {
  if ! apt_get update -qq; then
    echo "warning: apt-get update failed (a mirror in the middle of a sync?): going on with the package lists there are" >&2
  fi
}

# apt_retry COMMAND...: runs COMMAND (an apt-get command line); when it fails, fetches
# the lists again and runs it once more.
apt_retry() {
  "$@" && return 0
  echo "warning: '${*//apt_get/apt-get}' failed: fetching the package lists again and trying once more" >&2
  apt_update
  "$@"
}

# apt_install PACKAGE...: installs the packages (names, or paths to .deb files); on failure says which
# of the named packages the lists do not hold.
apt_install() {
  export DEBIAN_FRONTEND=noninteractive
  apt_retry apt_get install -y -qq --no-install-recommends "$@" && return 0
  local p missing=()
  for p in "$@"; do
    case "$p" in */*) continue ;; esac
    [[ "$(apt-cache policy "$p" 2>/dev/null)" == *"Candidate: "[^\(]* ]] || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "error: not in the package lists: ${missing[*]}" >&2
  else
    echo "error: could not install $* (each is in the package lists: see apt-get's message above)" >&2
  fi
  return 1
}
