#!/usr/bin/env bash
# The exports against the real monitoring stores: boxsim serves a box with
# every sensor type on 127.0.47.1; promtool backfills logfetch's OpenMetrics
# file and dumps the same samples back; the README's InfluxDB steps, run as
# they are written against a fresh influxd on localhost:8086, load the
# line-protocol file, and a query returns the same count and values;
# promtool check metrics accepts the -m textfile; two -n runs against a box
# that keeps logging export each sample once; an export that cannot be written
# is said and gives status 2. Needs root (the box listens on UDP port 811).
#
#   bash scripts/test-stores.sh        (builds logfetch and boxsim in build/)
#
# Under ctest, LOGFETCH_EXE and BOXSIM_EXE name the binaries and STORES_SKIP
# is the status for a machine without root or the tools. The stores run in a
# network namespace of their own, so that port 8086 is free and no other
# server on the machine can answer.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
skip=${STORES_SKIP:-1}
. scripts/lib.sh

require_root "$skip" "needs root: boxsim binds UDP port 811"
logfetch=${LOGFETCH_EXE:-}
boxsim=${BOXSIM_EXE:-}
if [ -z "$logfetch" ] || [ -z "$boxsim" ]; then
  bash scripts/install-deps.sh cmake g++ make curl python3 iproute2 prometheus influxdb \
    influxdb-client
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build -j"$(nproc)" --target logfetch boxsim
  logfetch="$root/build/app/logfetch"
  boxsim="$root/build/boxsim/boxsim"
fi
for tool in promtool influxd influx curl python3 ip unshare; do
  if ! command -v "$tool" >/dev/null; then
    echo "$tool is missing: bash scripts/install-deps.sh prometheus influxdb influxdb-client curl python3 iproute2" >&2
    exit "$skip"
  fi
done
if [ -z "${STORES_IN_NAMESPACE:-}" ]; then
  unshare -n true || { echo "$script_name: cannot make a network namespace" >&2; exit "$skip"; }
  export LOGFETCH_EXE=$logfetch BOXSIM_EXE=$boxsim STORES_IN_NAMESPACE=1
  # shellcheck disable=SC2016 # $0 is the inner shell's: this script
  exec unshare -n bash -c 'ip link set lo up && exec bash "$0"' "$root/scripts/test-stores.sh"
fi

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

# The commands of the README block marked <!-- test-stores: NAME -->.
readme_block() {
  awk -v mark="<!-- test-stores: $1 -->" '
    $0 == mark { at = 1; next }
    at == 1 && /^```/ { at = 2; next }
    at == 2 && /^```/ { exit }
    at == 2 { print }' "$root/README.md"
}

# A README block run as written in a folder holding the box's line protocol
# under the README's name, then every point of the database it names
# queried back.
run_readme_block() {  # NAME
  local commands
  commands=$(readme_block "$1")
  [ -n "$commands" ] || fail "README.md has no block marked test-stores: $1"
  rm -rf "$work/readme" && mkdir "$work/readme"
  cp "$lp" "$work/readme/192.168.0.10.lp"
  (cd "$work/readme" && bash -euo pipefail -c "$commands") >"$work/readme-$1.out" 2>&1 ||
    { cat "$work/readme-$1.out" >&2; fail "the README's $1 steps failed"; }
  curl -sf -G "$url/query" --data-urlencode db=site --data-urlencode epoch=ns \
    --data-urlencode 'q=SELECT * FROM /.*/' >"$work/points-$1.json"
  python3 "$root/tests/stores/compare.py" influx "$lp" "$work/points-$1.json" "$saved" ||
    { cat "$work/readme-$1.out" >&2; fail "after the README's $1 steps InfluxDB holds other points than $lp"; }
}

mkdir -p "$work/influx"
cat >"$work/influx/influxdb.conf" <<CONF
reporting-disabled = true
bind-address = "127.0.0.1:8088"
[meta]
  dir = "$work/influx/meta"
[data]
  dir = "$work/influx/data"
  wal-dir = "$work/influx/wal"
  query-log-enabled = false
[http]
  bind-address = "127.0.0.1:8086"
  log-enabled = false
[monitor]
  store-enabled = false
CONF
influxd -config "$work/influx/influxdb.conf" >"$work/influx/log" 2>&1 &
influxd_pid=$!
url="http://127.0.0.1:8086"
for _ in $(seq 1 100); do
  curl -s -o /dev/null -w '%{http_code}' "$url/ping" 2>/dev/null | grep -q 204 && break
  sleep 0.1
done
curl -sf -o /dev/null "$url/ping" || { tail "$work/influx/log" >&2; fail "influxd did not start"; }
run_readme_block influx-http
echo "influxd: the README's curl steps wrote $saved points, queried back alike"
curl -sf -XPOST "$url/query" --data-urlencode "q=DROP DATABASE site" >/dev/null
run_readme_block influx-import
echo "influxd: the README's influx -import steps wrote $saved points, queried back alike"

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
