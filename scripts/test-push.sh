#!/usr/bin/env bash
# Pushes over HTTP into the real stores, through the program's own seam and
# batcher (tests/stores/push_check), each store a throw-away server on
# 127.0.48.1, then queries the samples back:
# - InfluxDB 1.x: line protocol to /write in bodies of at most 5,000 lines,
#   at nanoseconds and at precision=s; count, sum and a timestamp come back;
# - Prometheus' remote-write receiver: snappy by the library and by our own
#   encoder, in several bodies; count and sum come back, a second push of the
#   same samples changes nothing, and a sample hours behind the newest is
#   judged refused for good ("out of bounds"), not a store that is down;
# - VictoriaMetrics over https with a CA file of our own, both protocols;
#   without the CA file, or with another CA, nothing is sent.
# Then logfetch itself, a site of boxsim boxes on 127.0.48.1N pushing to
# [[store]]s in two -n runs: every sample in each store once (against the
# runs' OpenMetrics files), into InfluxDB, Prometheus with a 30-day
# out-of-order window and VictoriaMetrics over https by both protocols; a
# store not up for the first run gets everything on the second; a store
# that answers 500 to one body keeps that body's sensor for the next run.
#
#   bash scripts/test-push.sh          (builds push_check, logfetch and boxsim in build/)
#
# Under ctest, PUSH_CHECK_EXE, LOGFETCH_EXE and BOXSIM_EXE name the programs
# and STORES_SKIP is the status for a machine without root or the stores.
# It runs in a network namespace of its own (boxsim binds UDP port 811).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
skip=${STORES_SKIP:-1}
started=$(date +%s)
. scripts/lib.sh
. scripts/stores-lib.sh

require_root "$skip" "needs root: boxsim binds UDP port 811"
push=${PUSH_CHECK_EXE:-}
logfetch=${LOGFETCH_EXE:-}
boxsim=${BOXSIM_EXE:-}
if [ -z "$push" ] || [ -z "$logfetch" ] || [ -z "$boxsim" ]; then
  bash scripts/install-deps.sh cmake g++ make libcurl4-openssl-dev libsnappy-dev curl python3 openssl \
    iproute2 prometheus influxdb victoria-metrics
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build -j2 --target push_check logfetch boxsim
  push="$root/build/tests/stores/push_check"
  logfetch="$root/build/app/logfetch"
  boxsim="$root/build/boxsim/boxsim"
fi
for tool in influxd prometheus victoria-metrics curl python3 openssl ip unshare; do
  if ! command -v "$tool" >/dev/null; then
    echo "$script_name: $tool is missing: bash scripts/install-deps.sh influxdb prometheus victoria-metrics curl python3 openssl iproute2" >&2
    exit "$skip"
  fi
done
if [ -z "${PUSH_IN_NAMESPACE:-}" ]; then
  unshare -n true || { echo "$script_name: cannot make a network namespace" >&2; exit "$skip"; }
  export PUSH_CHECK_EXE=$push LOGFETCH_EXE=$logfetch BOXSIM_EXE=$boxsim PUSH_IN_NAMESPACE=1
  # shellcheck disable=SC2016 # $0 is the inner shell's: this script
  exec unshare -n bash -c 'ip link set lo up && exec bash "$0"' "$root/scripts/test-push.sh"
fi
# The stores are on loopback: no proxy may stand between.
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY

addr=127.0.48.1
work=$(mktemp -d /tmp/logfetch-push-XXXXXX)
cleanup() {
  kill_boxsims
  stop_stores
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# Runs push_check; its output in $work/NAME.out. Status: push_check's.
run_push() {  # name, push_check arguments...
  local name=$1 status=0
  shift
  timeout 60 "$push" "$@" >"$work/$name.out" 2>&1 || status=$?
  return "$status"
}
pushed_line() { grep '^pushed ' "$work/$1.out" || fail "$1: no summary: $(cat "$work/$1.out")"; }

# A query's answer: python reads the JSON on standard input.
count_and_sum() {  # python expression over the parsed JSON "j" that gives (count, sum)
  python3 -c 'import json,sys; j=json.load(sys.stdin); c,s=eval(sys.argv[1]); print("%d %.1f" % (c, s))' "$1"
}
# push_check's own count and sum from its summary line.
expected() { sed -n 's/^pushed \([0-9]*\) samples in [0-9]* bodies, sum \(.*\)$/\1 \2/p' "$work/$1.out"; }

# --- The boxs of the logfetch runs: newest samples a few minutes ago, a
# few more at each download. One boxsim serves them all.
now=$(date +%s)
box_file() {  # template, output
  sed "s/^clock .*/clock $now/; s/^generate /last_log_time $((now - now % 60 - 600))\ngenerate /" \
    "$1" >"$2"
}
box_file tests/stores/pushing.box "$work/pushing.box"
box_file tests/stores/two_bodies.box "$work/two_bodies.box"
boxes=()
for n in 11 12 13 14; do boxes+=(--box "127.0.48.$n=$work/pushing.box"); done
boxes+=(--box "127.0.48.15=$work/two_bodies.box")
start_boxsim "$work/boxsim" 5 "$boxsim" --max-seconds 110 "${boxes[@]}"

# A site of one box pushing to the stores of STORES (TOML text), in a
# folder of its own: $work/NAME/site.toml.
site() {  # name, box address, stores
  mkdir -p "$work/$1"
  printf '%s\n[[box]]\nname = "%s"\naddress = "%s"\npassword = "public"\n' "$3" "$1" "$2" \
    >"$work/$1/site.toml"
  chmod 600 "$work/$1/site.toml"
}
# One -n run of site NAME (with the OpenMetrics export, the record of what
# each run downloaded); its output in $work/NAME.RUN.out. Status: logfetch's.
run_site() {  # name, run
  local status=0
  sleep 1  # each run's OpenMetrics file is named by its second
  (cd "$work/$1" && timeout 60 "$logfetch" -f site.toml -n -x openmetrics) >"$work/$1.$2.out" 2>&1 ||
    status=$?
  return "$status"
}
site_ok() {  # name, run
  run_site "$1" "$2" || fail "logfetch run $2 of $1: status $?: $(cat "$work/$1.$2.out")"
}
summary_of() { grep '^Summary: ' "$work/$1.$2.out" || fail "no summary line: $(cat "$work/$1.$2.out")"; }
# A store's samples of box NAME against its OpenMetrics files.
same_as_runs() {  # kind, answer file, name
  python3 tests/stores/compare.py store "$1" "$2" "$work/$3"/*.om ||
    fail "$1 does not hold each sample of $3 once"
}
influx_points() {  # box name, output file
  curl -sf -G "$influx_url/query" --data-urlencode db=site --data-urlencode epoch=s \
    --data-urlencode "q=SELECT * FROM /logfetch_.*/ WHERE box = '$1'" >"$2" || fail "influxd did not answer"
}
raw_points() {  # base URL, box name, output file, curl arguments...
  local url=$1 box=$2 out=$3
  shift 3
  curl -sf "$@" -G "$url/api/v1/query" --data-urlencode "time=$(($(date +%s) + 600))" \
    --data-urlencode "query={box=\"$box\"}[1d]" >"$out" || fail "$url did not answer a query"
}

# --- InfluxDB 1.x: line protocol.
# A store that is not up yet: said with its reason, status 2, its marks
# stay (and those of the files move).
influx_port=$(free_port "$addr")
site late 127.0.48.12 "[[store]]
kind = \"influx\"
url = \"http://$addr:$influx_port/write?db=site&precision=s\""
status=0
run_site late 1 || status=$?
[ "$status" = 2 ] || fail "a push to a store that is down gave status $status, not 2: $(cat "$work/late.1.out")"
grep -q "^late: Store influx at http://$addr:$influx_port/write: .*, 600 samples not sent.\$" "$work/late.1.out" ||
  fail "the store that is down was not said: $(cat "$work/late.1.out")"
grep -q 'store.influx' "$work/late/logfetch.state" && fail "a store that was down has marks"
echo "logfetch: a store that is down: $(grep '^late: Store' "$work/late.1.out"), status 2"

start_influxd "$work/influx" "$addr" "$influx_port"
curl -sf -XPOST "$influx_url/query" --data-urlencode "q=CREATE DATABASE push" >/dev/null ||
  fail "influxd did not create the database"
curl -sf -XPOST "$influx_url/query" --data-urlencode "q=CREATE DATABASE push_s" >/dev/null ||
  fail "influxd did not create the database"
# 3 series of 4,000 samples: three bodies of 5,000, 5,000 and 2,000 lines.
run_push influx --url "$influx_url/write?db=push" --format influx --series 3 --samples 4000 ||
  fail "influx push: $(cat "$work/influx.out")"
[ "$(grep -c '^body .*HTTP 204: acknowledged$' "$work/influx.out")" = 3 ] ||
  fail "influx push: not three acknowledged bodies: $(cat "$work/influx.out")"
got=$(curl -sf -G "$influx_url/query" --data-urlencode db=push \
  --data-urlencode 'q=SELECT count(value), sum(value) FROM logfetch_temperature, logfetch_4_20ma' |
  count_and_sum 'map(sum, zip(*[s["values"][0][1:] for s in j["results"][0]["series"]]))')
[ "$got" = "$(expected influx)" ] || fail "InfluxDB holds '$got' (count sum), push_check sent '$(expected influx)'"
echo "influxd: $(pushed_line influx); queried back alike"

run_push influx_s --url "$influx_url/write?db=push_s&precision=s" --format influx --series 1 \
  --samples 10 --first 1796685000 --step 600 || fail "influx push at precision=s: $(cat "$work/influx_s.out")"
first=$(curl -sf -G "$influx_url/query" --data-urlencode db=push_s --data-urlencode epoch=s \
  --data-urlencode 'q=SELECT count(value) FROM logfetch_temperature; SELECT first(value) FROM logfetch_temperature' |
  python3 -c 'import json,sys; r=json.load(sys.stdin)["results"]; print(r[0]["series"][0]["values"][0][1], r[1]["series"][0]["values"][0][0])')
[ "$first" = "10 1796685000" ] || fail "precision=s: InfluxDB holds '$first' (count, first time), not '10 1796685000'"
echo "influxd: precision=s: 10 samples, the first at 1796685000"

# logfetch's pushes: two -n runs, each sample once; the store that was down
# gets every sample on its next run.
curl -sf -XPOST "$influx_url/query" --data-urlencode "q=CREATE DATABASE site" >/dev/null ||
  fail "influxd did not create the database"
site influx 127.0.48.11 "[[store]]
kind = \"influx\"
url = \"$influx_url/write?db=site&precision=s\""
site_ok influx 1
site_ok influx 2
summary_of influx 2 | grep -q ', ok, influx: 5 samples sent$' ||
  fail "the second run's summary: $(summary_of influx 2)"
influx_points influx "$work/influx.json"
same_as_runs influx "$work/influx.json" influx
site_ok late 2
influx_points late "$work/late.json"
same_as_runs influx "$work/late.json" late
echo "logfetch: the store that was down took all $(summary_of late 2 | sed 's/.*influx: //') on the next run, status 0"
stop_stores

# --- Prometheus: remote write.
start_prometheus "$work/prom" "$addr"
now=$(date +%s)
recent=$((now - now % 60 - 49 * 60))  # 50 samples a minute apart, the last this minute
rw=("$prom_url/api/v1/write" --format remote_write --series 4 --samples 50 --most 30 --first "$recent")
run_push prom_lib --url "${rw[@]}" --address lib || fail "remote write: $(cat "$work/prom_lib.out")"
run_push prom_own --url "${rw[@]}" --address own --own-snappy ||
  fail "remote write, own snappy: $(cat "$work/prom_own.out")"
[ "$(grep -c '^body .*: acknowledged$' "$work/prom_own.out")" = 7 ] ||
  fail "remote write: not seven acknowledged bodies of at most 30 samples: $(cat "$work/prom_own.out")"
prom_query() {  # address label
  local q
  for q in count sum; do
    curl -sf -G "$prom_url/api/v1/query" --data-urlencode "time=$(date +%s)" \
      --data-urlencode "query=sum(${q}_over_time({address=\"$1\"}[3h])) or vector(0)" >"$work/$q.json" ||
      fail "prometheus did not answer a query"
  done
  python3 -c 'import json,sys; c,s=(float(json.load(open(f))["data"]["result"][0]["value"][1]) for f in sys.argv[1:]); print("%d %.1f" % (c, s))' \
    "$work/count.json" "$work/sum.json"
}
for run in lib own; do
  got=$(prom_query "$run")
  [ "$got" = "$(expected "prom_$run")" ] ||
    fail "Prometheus holds '$got' (count sum) for $run, push_check sent '$(expected "prom_$run")'"
done
echo "prometheus: $(pushed_line prom_own) with each encoder; queried back alike"

# A retry of a body the store took already (its answer lost on the way):
# Prometheus refuses samples older than a series' newest as out of order,
# which must read as refused for good, not as a store that is down; and
# nothing doubles.
status=0
run_push prom_again --url "${rw[@]}" --address lib || status=$?
if [ "$status" != 1 ] ||
  ! grep -q '^body 1: 30 samples, HTTP 400: out of order sample: samples refused$' "$work/prom_again.out"; then
  fail "a second push of the same samples: $(cat "$work/prom_again.out")"
fi
got=$(prom_query lib)
[ "$got" = "$(expected prom_lib)" ] || fail "after a second push Prometheus holds '$got', not '$(expected prom_lib)'"
echo "prometheus: the same samples again: $(cat "$work/prom_again.out"); still '$got' (count sum)"

# Hours behind the newest sample: refused for good, said with the store's words.
status=0
run_push prom_old --url "$prom_url/api/v1/write" --format remote_write --series 1 --samples 3 \
  --first $((recent - 5 * 3600)) --address old || status=$?
[ "$status" = 1 ] || fail "an out-of-bounds push ended with $status, not 1: $(cat "$work/prom_old.out")"
grep -q '^body 1: 3 samples, HTTP 400: out of bounds: samples refused$' "$work/prom_old.out" ||
  fail "an out-of-bounds push was not judged refused for good: $(cat "$work/prom_old.out")"
echo "prometheus: $(cat "$work/prom_old.out")"
stop_stores

# logfetch's pushes by remote write, to a Prometheus whose out-of-order
# window takes a box's datalog behind what other series hold.
start_prometheus "$work/prom-window" "$addr" 30d
site prom 127.0.48.13 "[[store]]
name = \"prom\"
kind = \"remote_write\"
url = \"$prom_url/api/v1/write\"
window = \"30d\""
site_ok prom 1
site_ok prom 2
raw_points "$prom_url" prom "$work/prom.json"
same_as_runs prom "$work/prom.json" prom
stop_stores

# --- VictoriaMetrics over https, with a CA of our own.
certs="$work/certs"
mkdir -p "$certs"
make_ca() {  # name
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
    -subj "/CN=push check $1" -keyout "$certs/$1.key" -out "$certs/$1.pem" 2>/dev/null
}
make_ca ca
make_ca other
openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj "/CN=$addr" \
  -keyout "$certs/server.key" -out "$certs/server.csr" 2>/dev/null
printf 'subjectAltName=IP:%s\n' "$addr" >"$certs/san.ext"
openssl x509 -req -in "$certs/server.csr" -CA "$certs/ca.pem" -CAkey "$certs/ca.key" -CAcreateserial \
  -days 2 -extfile "$certs/san.ext" -out "$certs/server.pem" 2>/dev/null || fail "openssl could not sign"
start_victoria "$work/vm" "$addr" "$certs/server.pem" "$certs/server.key" "$certs/ca.pem"
vm=("--first" "$recent" --series 2 --samples 50 --most 40 --ca "$certs/ca.pem")
run_push vm_lp --url "$vm_url/write" --format influx "${vm[@]}" --address vm ||
  fail "VictoriaMetrics, line protocol: $(cat "$work/vm_lp.out")"
run_push vm_rw --url "$vm_url/api/v1/write" --format remote_write --own-snappy "${vm[@]}" --address vm ||
  fail "VictoriaMetrics, remote write: $(cat "$work/vm_rw.out")"
curl -sf --cacert "$certs/ca.pem" "$vm_url/internal/force_flush" >/dev/null || fail "VictoriaMetrics did not flush"
vm_query() {  # metric name pattern
  local q
  for q in count sum; do
    curl -sf --cacert "$certs/ca.pem" -G "$vm_url/api/v1/query" --data-urlencode "time=$(date +%s)" \
      --data-urlencode "query=sum(${q}_over_time({__name__=~\"$1\",address=\"vm\"}[3h]))" >"$work/$q.json" ||
      fail "VictoriaMetrics did not answer a query"
  done
  python3 -c 'import json,sys; c,s=(float(json.load(open(f))["data"]["result"][0]["value"][1]) for f in sys.argv[1:]); print("%d %.1f" % (c, s))' \
    "$work/count.json" "$work/sum.json"
}
# Line protocol names a metric after its measurement and field.
got=$(vm_query 'logfetch_.*_value')
[ "$got" = "$(expected vm_lp)" ] || fail "VictoriaMetrics holds '$got' from line protocol, push_check sent '$(expected vm_lp)'"
got=$(vm_query 'logfetch_(temperature|4_20ma)')
[ "$got" = "$(expected vm_rw)" ] || fail "VictoriaMetrics holds '$got' from remote write, push_check sent '$(expected vm_rw)'"
echo "victoria-metrics over https: $(pushed_line vm_lp) by line protocol, as many by remote write; queried back alike"

# Without our CA, or with another one, the certificate is refused and
# nothing goes: the store counts as down, the samples wait.
for ca in "" "$certs/other.pem"; do
  status=0
  run_push vm_untrusted --url "$vm_url/api/v1/write" --format remote_write --first "$recent" \
    --series 1 --samples 5 --address untrusted ${ca:+--ca "$ca"} || status=$?
  if [ "$status" != 1 ] || ! grep -q ': store down$' "$work/vm_untrusted.out"; then
    fail "a push to an untrusted certificate was not refused: $(cat "$work/vm_untrusted.out")"
  fi
  echo "victoria-metrics, $([ -n "$ca" ] && echo "another CA" || echo "the system's CAs"): $(cat "$work/vm_untrusted.out")"
done
curl -sf --cacert "$certs/ca.pem" "$vm_url/internal/force_flush" >/dev/null || true
got=$(curl -sf --cacert "$certs/ca.pem" -G "$vm_url/api/v1/series" --data-urlencode 'match[]={address="untrusted"}' |
  python3 -c 'import json,sys; print(len(json.load(sys.stdin)["data"]))')
[ "$got" = 0 ] || fail "a push refused for its certificate reached the store"

# logfetch over https to both of its protocols.
site vm 127.0.48.14 "[[store]]
name = \"vm-lp\"
kind = \"influx\"
url = \"$vm_url/write\"
ca_file = \"$certs/ca.pem\"
[[store]]
name = \"vm-rw\"
kind = \"remote_write\"
url = \"$vm_url/api/v1/write\"
ca_file = \"$certs/ca.pem\""
site_ok vm 1
site_ok vm 2
summary_of vm 2 | grep -q ', ok, vm-lp: 5 samples sent, vm-rw: 5 samples sent$' ||
  fail "the second run's summary: $(summary_of vm 2)"
curl -sf --cacert "$certs/ca.pem" "$vm_url/internal/force_flush" >/dev/null || fail "VictoriaMetrics did not flush"
raw_points "$vm_url" vm "$work/vm.json" --cacert "$certs/ca.pem"
python3 -c 'import json,sys; j=json.load(open(sys.argv[1])); r=j["data"]["result"]
for suffix, out in (("_value", sys.argv[2]), ("", sys.argv[3])):
    keep = [s for s in r if s["metric"]["__name__"].endswith("_value") == bool(suffix)]
    json.dump({"data": {"result": keep}}, open(out, "w"))' "$work/vm.json" "$work/vm-lp.json" "$work/vm-rw.json"
same_as_runs vm-lp "$work/vm-lp.json" vm
same_as_runs vm-rw "$work/vm-rw.json" vm
stop_stores

# A store that answers 500 to the second of two bodies: the sensor whose
# samples were all in the first one is done, the other goes again whole.
mkdir -p "$work/stub"
stub_port=$(free_port "$addr")
touch "$work/stub/fail"
python3 - "$addr" "$stub_port" "$work/stub" >"$work/stub/log" 2>&1 <<'PY' &
import http.server, os, sys
addr, port, folder = sys.argv[1], int(sys.argv[2]), sys.argv[3]
class Store(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    def do_POST(self):
        body = self.rfile.read(int(self.headers["Content-Length"])).decode()
        lines = body.splitlines()
        failing = os.path.exists(folder + "/fail") and len(lines) < 5000
        answer = b"store stub: not now\n" if failing else b""
        if not failing:
            with open(folder + "/lines", "a") as f:
                f.write(body)
        self.send_response(500 if failing else 204)
        self.send_header("Content-Length", str(len(answer)))
        self.end_headers()
        self.wfile.write(answer)
    def log_message(self, *args):
        pass
http.server.HTTPServer((addr, port), Store).serve_forever()
PY
store_pids+=($!)
wait_http 10 501 "http://$addr:$stub_port/" || fail "the store stub did not start"
site stub 127.0.48.15 "[[store]]
name = \"stub\"
kind = \"influx\"
url = \"http://$addr:$stub_port/write\""
status=0
run_site stub 1 || status=$?
[ "$status" = 2 ] || fail "a body answered 500 gave status $status, not 2: $(cat "$work/stub.1.out")"
grep -q "^stub: Store stub at http://$addr:$stub_port/write: HTTP 500: store stub: not now, 1000 samples not sent.\$" \
  "$work/stub.1.out" || fail "the 500 was not said: $(cat "$work/stub.1.out")"
per_slot() { awk '{ match($0, /,slot=[0-9]/); n[substr($0, RSTART + 6, 1)]++ } END { printf "%d %d", n[1], n[2] }'; }
[ "$(per_slot <"$work/stub/lines")" = "3000 2000" ] || fail "the first run's bodies held $(per_slot <"$work/stub/lines")"
first=$(wc -l <"$work/stub/lines")
rm "$work/stub/fail"
site_ok stub 2
got=$(tail -n +"$((first + 1))" "$work/stub/lines" | per_slot)
[ "$got" = "2 3002" ] || fail "after a 500 the next run sent '$got' samples (slot 1, slot 2), not '2 3002'"
echo "logfetch: a 500 to one body: status 2, then slot 1 sent only its 2 new samples, slot 2 all 3002 again"
echo "test-push: all passed in $(($(date +%s) - started)) s"
