# Sourced by the tools scripts: `need PKG...` installs those of the Debian
# packages that are not installed yet (as root, with apt-get).
need() {
  missing=""
  for p in "$@"; do
    dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q 'ok installed' || missing="$missing $p"
  done
  [ -z "$missing" ] && return 0
  if [ "$(id -u)" != 0 ]; then
    echo "Missing Debian packages:$missing (run as root, or install them first)" >&2
    return 1
  fi
  echo "Installing:$missing"
  apt-get update -q
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $missing
}
