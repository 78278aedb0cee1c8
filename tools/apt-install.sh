#!/usr/bin/env bash
# Installs the Debian packages named on the command line that are missing.
#
#   tools/apt-install.sh [--try] PACKAGE...
#
# The package lists are refreshed first, but a refresh that fails (a mirror in
# the middle of a sync, one unreachable archive) does not stop the install: it
# is tried with whatever lists apt has, and only the install's own failure
# counts, reported with apt's own message. With --try a failed install prints
# apt's last error lines and exits 1 without the usual complaint, for callers
# that have another way to go.
set -uo pipefail

try=0
if [ "${1:-}" = "--try" ]; then try=1; shift; fi

missing=()
for p in "$@"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" != 0 ]; then
  echo "Missing packages. Run:"
  echo "  sudo apt-get update && sudo apt-get install -y ${missing[*]}"
  exit 1
fi

if ! out=$(apt-get update -qq 2>&1); then
  echo "apt-get update did not complete; installing from the package lists at hand:"
  grep -E '^(E|W):' <<<"$out" | head -n 3 | sed 's/^/  /'
fi

echo "Installing: ${missing[*]}"
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >"$log" 2>&1; then
  exit 0
fi
if [ $try = 1 ]; then
  grep -E '^E:' "$log" | tail -n 2 | sed 's/^/  /'
else
  cat "$log"
fi
exit 1
