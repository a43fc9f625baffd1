#!/usr/bin/env bash
# The exports against the real monitoring stores: boxsim serves a box with
# every sensor type on 127.0.47.1; promtool backfills logfetch's OpenMetrics
# file and dumps the same samples back; a throw-away influxd on 127.0.0.1 takes
# the line-protocol file and a query returns the same count and values;
# promtool check metrics accepts the -m textfile; two -n runs against a box
# that keeps logging export each sample once; an export that cannot be written
# is said and gives status 2. Needs root (the box listens on UDP port 811).
#
#   bash scripts/test-stores.sh        (builds logfetch and boxsim in build/)
#
# Under ctest, LOGFETCH_EXE and BOXSIM_EXE name the binaries and STORES_SKIP
# is the status for a machine without root or the tools.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
skip=${STORES_SKIP:-1}
. scripts/lib.sh

require_root "$skip" "needs root: boxsim binds UDP port 811"
logfetch=${LOGFETCH_EXE:-}
boxsim=${BOXSIM_EXE:-}
if [ -z "$logfetch" ] || [ -z "$boxsim" ]; then
  bash scripts/install-deps.sh cmake g++ make curl python3 prometheus influxdb influxdb-client
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build -j"$(nproc)" --target logfetch boxsim
  logfetch="$root/build/app/logfetch"
  boxsim="$root/build/boxsim/boxsim"
fi
for tool in promtool influxd curl python3; do
  if ! command -v "$tool" >/dev/null; then
    echo "$tool is missing: bash scripts/install-deps.sh prometheus influxdb influxdb-client curl python3" >&2
    exit "$skip"
  fi
done

work=$(mktemp -d /tmp/logfetch-stores-XXXXXX)
influxd_pid=""
cleanup() {
  kill_boxsims
  if [ -n "$influxd_pid" ]; then
    kill "$influxd_pid" 2>/dev/null || true
    wait "$influxd_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

start_box() {  # address box-file
  start_boxsim "$work/box-$1" 1 "$boxsim" --addr "$1" --max-seconds 100 "$2"
}

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

# --- A box with every sensor type: OpenMetrics, line protocol, textfile.
box=127.0.47.1
start_box "$box" "$root/tests/stores/every_type.box"
mkdir "$work/full"
(cd "$work/full" && timeout 60 "$logfetch" -i "$box" -p public -x openmetrics -X influx -m run.prom) \
  >"$work/full.out" || fail "logfetch: status $?"
om=$(ls "$work"/full/"$box".*.om)
lp="$work/full/$box.lp"
[ "$(tail -n 1 "$om")" = "# EOF" ] || fail "$om does not end in # EOF"
ls "$work/full" | grep -q '\.tmp$' && fail "a temporary file was left"

# Sample lines of the reports: what the run saved.
saved=$(cat "$work"/full/*.txt | grep -c '^[0-9][0-9]/[0-9][0-9]/[0-9]\{4\} ')
[ "$saved" -gt 2000 ] || fail "only $saved samples in the reports"

promtool tsdb create-blocks-from openmetrics "$om" "$work/tsdb" >"$work/backfill.out" 2>&1 ||
  { cat "$work/backfill.out" >&2; fail "promtool did not load $om"; }
mkdir -p "$work/tsdb/wal"
promtool tsdb dump "$work/tsdb" >"$work/dump.txt"
python3 "$root/tests/stores/compare.py" openmetrics "$om" "$work/dump.txt" "$saved" ||
  fail "the Prometheus block differs from $om"
echo "promtool: $saved samples backfilled and dumped back alike"

promtool check metrics <"$work/full/run.prom" || fail "promtool check metrics found problems"
grep -q "^logfetch_run_samples_saved{box=\"$box\",address=\"$box\"} $saved\$" "$work/full/run.prom" ||
  fail "the textfile does not count $saved samples"
echo "promtool check metrics: the textfile passes"

http=$(free_port)
rpc=$(free_port)
mkdir -p "$work/influx"
cat >"$work/influx/influxdb.conf" <<CONF
reporting-disabled = true
bind-address = "127.0.0.1:$rpc"
[meta]
  dir = "$work/influx/meta"
[data]
  dir = "$work/influx/data"
  wal-dir = "$work/influx/wal"
  query-log-enabled = false
[http]
  bind-address = "127.0.0.1:$http"
  log-enabled = false
[monitor]
  store-enabled = false
CONF
influxd -config "$work/influx/influxdb.conf" >"$work/influx/log" 2>&1 &
influxd_pid=$!
url="http://127.0.0.1:$http"
for _ in $(seq 1 100); do
  curl -s -o /dev/null -w '%{http_code}' "$url/ping" 2>/dev/null | grep -q 204 && break
  sleep 0.1
done
curl -sf -XPOST "$url/query" --data-urlencode "q=CREATE DATABASE stores" >/dev/null ||
  { tail "$work/influx/log" >&2; fail "influxd did not start"; }
code=$(curl -s -o "$work/write.out" -w '%{http_code}' -XPOST "$url/write?db=stores&precision=ns" \
  --data-binary @"$lp")
[ "$code" = 204 ] || { cat "$work/write.out" >&2; fail "influxd refused $lp ($code)"; }
curl -sf -G "$url/query" --data-urlencode db=stores --data-urlencode epoch=ns \
  --data-urlencode 'q=SELECT * FROM /.*/' >"$work/points.json"
python3 "$root/tests/stores/compare.py" influx "$lp" "$work/points.json" "$saved" ||
  fail "InfluxDB holds other points than $lp"
echo "influxd: $saved points written and queried back alike"

# --- Two -n runs against a box that keeps logging, then a failed export.
box=127.0.47.2
start_box "$box" "$root/examples/scheduled.box"
mkdir "$work/n"
run_n() { (cd "$work/n" && timeout 60 "$logfetch" -i "$box" -p public -n -x openmetrics,influx); }
run_n >"$work/n1.out" || fail "first -n run: status $?"
sleep 1  # the second run's OpenMetrics file is named by a later second
run_n >"$work/n2.out" || fail "second -n run: status $?"
mapfile -t oms < <(ls "$work"/n/"$box".*.om)
[ "${#oms[@]}" = 2 ] || fail "expected two OpenMetrics files, found ${#oms[@]}"
python3 "$root/tests/stores/compare.py" incremental "${oms[0]}" "${oms[1]}" "$work/n/$box.lp" 16 ||
  fail "the -n runs exported samples twice or lost some"
echo "-n: the second run exported only its 16 new samples"

mv "$work/n/$box.lp" "$work/n/kept.lp"
mkdir "$work/n/$box.lp"  # a file that cannot be opened
set +e
run_n >"$work/n3.out" 2>"$work/n3.err"
status=$?
set -e
[ "$status" = 2 ] || fail "a failed export gave status $status, not 2"
grep -qx "Can't open file:$box.lp to write data !" "$work/n3.out" || fail "no message for the failed export"
[ -s "$work/n3.err" ] || fail "no reason on standard error"
echo "a failed export: said, reason on standard error, status 2"

# The failed export kept its mark: the next -n run exports what it missed,
# and no sample is in the line protocol twice.
rmdir "$work/n/$box.lp"
mv "$work/n/kept.lp" "$work/n/$box.lp"
sleep 1
run_n >"$work/n4.out" || fail "the run after the failed export: status $?"
om_samples=$(cat "$work"/n/"$box".*.om | grep -cv '^#')
lp_lines=$(wc -l <"$work/n/$box.lp")
[ "$om_samples" = "$lp_lines" ] ||
  fail "the line protocol holds $lp_lines samples, the OpenMetrics files $om_samples"
[ -z "$(sort "$work/n/$box.lp" | uniq -d)" ] || fail "the line protocol holds a sample twice"
[ -z "$(cat "$work"/n/"$box".*.om | grep -v '^#' | sort | uniq -d)" ] ||
  fail "the OpenMetrics files hold a sample twice"
echo "a failed export caught up on the next -n run: $lp_lines samples, each once"
echo "test-stores: all passed"
