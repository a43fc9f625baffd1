#!/usr/bin/env bash
# Installs the named Debian packages that are missing (needs root).
set -euo pipefail
. "$(dirname "$0")/lib.sh"
missing=()
for p in "$@"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ "${#missing[@]}" -eq 0 ] && exit 0
require_root 1 "Missing packages (run as root to install them): ${missing[*]}"
apt-get update -qq
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
