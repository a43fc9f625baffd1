#!/usr/bin/env bash
# The whole job without hardware: builds logfetch and boxsim, starts boxsim on
# 127.0.0.1 with the sample box, downloads it into ./demo-reports with CSV
# histories and a chart page (-w), lists the reports and says where the page
# is. Then a site: one boxsim serves the three boxes of examples/site.toml on
# 127.0.0.1-3, and one run (-f) collects them all into ./demo-site with the
# site page index.html. Needs root: the boxes listen on UDP port 811.
#
#   sudo bash scripts/demo.sh            (or as root: bash scripts/demo.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
. scripts/lib.sh

require_root 1 "must run as root: the simulated box listens on UDP port 811, \
which only root may bind. Run: sudo bash scripts/demo.sh"

bash scripts/install-deps.sh cmake g++ make libtomlplusplus-dev libcurl4-openssl-dev libsnappy-dev

build="$root/build-demo"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DLOGFETCH_TESTS=OFF -DLOGFETCH_BENCH=OFF -DLOGFETCH_BOXSIM=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target logfetch boxsim

box="$root/examples/demo.box"
password=public
reports="$root/demo-reports"

ready="$(mktemp -d)"
trap 'kill_boxsims; rm -rf "$ready"' EXIT
trap 'exit 1' INT TERM

# Starts boxsim with the given arguments and waits for its N ready lines.
serve() {
  local lines=$1
  shift
  start_boxsim "$ready/boxsim" "$lines" "$build/boxsim/boxsim" --max-seconds 600 "$@"
  cat "$ready/boxsim.out"
}

serve 1 --addr 127.0.0.1 "$box"

rm -rf "$reports"
mkdir -p "$reports"
echo
echo "\$ logfetch -w -i 127.0.0.1 -p $password     (in $reports)"
(cd "$reports" && "$build/app/logfetch" -w -i 127.0.0.1 -p "$password")

stop_boxsim "$boxsim_pid" || true
echo
echo "Reports written to $reports:"
ls -l "$reports"
echo
echo "Chart page of the box (open it in a web browser): $reports/127.0.0.1.html"

# The site: three boxes in one boxsim, collected by one run.
site="$root/demo-site"
echo
serve 3 --box 127.0.0.1="$root/examples/site-server-room.box" \
  --box 127.0.0.2="$root/examples/site-lab.box" --box 127.0.0.3="$root/examples/site-cold.box"
rm -rf "$site"
mkdir -p "$site/lab"
cp "$root/examples/site.toml" "$root/examples/site-cold.pw" "$site/"
# logfetch refuses a site or password file that others may read.
chmod 600 "$site/site.toml" "$site/site-cold.pw"
echo
echo "\$ logfetch -f $site/site.toml -w"
"$build/app/logfetch" -f "$site/site.toml" -w

stop_boxsim "$boxsim_pid" || true
echo
echo "Site reports written to $site:"
ls -l "$site" "$site/lab"
echo
echo "Site page (open it in a web browser): $site/index.html"
