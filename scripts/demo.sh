#!/usr/bin/env bash
# The whole job without hardware: builds logfetch and boxsim, starts boxsim on
# 127.0.0.1 with the sample box, downloads it into ./demo-reports with CSV
# histories and a chart page (-w), lists the reports and says where the page
# is. Needs root: the box listens on UDP port 811.
#
#   sudo bash scripts/demo.sh            (or as root: bash scripts/demo.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

if [ "$(id -u)" -ne 0 ]; then
  echo "demo.sh must run as root: the simulated box listens on UDP port 811," >&2
  echo "which only root may bind. Run: sudo bash scripts/demo.sh" >&2
  exit 1
fi

bash scripts/install-deps.sh cmake g++ make libtomlplusplus-dev

build="$root/build-demo"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DLOGFETCH_TESTS=OFF -DLOGFETCH_BENCH=OFF -DLOGFETCH_BOXSIM=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target logfetch boxsim

box="$root/examples/demo.box"
password=public
reports="$root/demo-reports"

boxsim_pid=""
stop_boxsim() {
  if [ -n "$boxsim_pid" ]; then
    kill "$boxsim_pid" 2>/dev/null || true
    wait "$boxsim_pid" 2>/dev/null || true
    boxsim_pid=""
  fi
}
trap stop_boxsim EXIT INT TERM

ready="$(mktemp)"
"$build/boxsim/boxsim" --addr 127.0.0.1 --max-seconds 600 "$box" >"$ready" &
boxsim_pid=$!
# Wait for its ready line.
for _ in $(seq 1 50); do
  grep -q "serving on" "$ready" && break
  if ! kill -0 "$boxsim_pid" 2>/dev/null; then
    echo "boxsim did not start" >&2
    boxsim_pid=""
    exit 1
  fi
  sleep 0.1
done
if ! grep -q "serving on" "$ready"; then
  echo "boxsim did not get ready" >&2
  exit 1
fi
cat "$ready"
rm -f "$ready"

rm -rf "$reports"
mkdir -p "$reports"
echo
echo "\$ logfetch -w -i 127.0.0.1 -p $password     (in $reports)"
(cd "$reports" && "$build/app/logfetch" -w -i 127.0.0.1 -p "$password")

stop_boxsim
echo
echo "Reports written to $reports:"
ls -l "$reports"
echo
echo "Chart page of the box (open it in a web browser): $reports/127.0.0.1.html"
