# Sourced by the scripts that need Debian packages: require_packages PACKAGE... installs
# those of them that are not installed yet, through apt-get (with sudo when not run as
# root), and does nothing when all are there. Each script names only what it needs itself,
# so the plain build stays lean and a toolchain comes in with the script that uses it.

require_packages() {
  local missing=() p
  for p in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$p")
    fi
  done
  [ ${#missing[@]} -eq 0 ] && return 0

  echo "Installing: ${missing[*]}"
  local as_root=()
  if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null; then
      echo "error: these packages are missing and there is no sudo to install them: ${missing[*]}" >&2
      return 1
    fi
    as_root=(sudo)
  fi
  # The package lists are refreshed once per script run, and only when something is missing.
  if [ -z "${QUORVEL_APT_UPDATED:-}" ]; then
    DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get update -qq
    QUORVEL_APT_UPDATED=1
  fi
  DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}"
}
