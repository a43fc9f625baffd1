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
#
#   bash scripts/test-push.sh          (builds push_check in build/)
#
# Under ctest, PUSH_CHECK_EXE names the program and STORES_SKIP is the
# status for a machine without the stores.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
skip=${STORES_SKIP:-1}
started=$(date +%s)
. scripts/lib.sh
. scripts/stores-lib.sh

push=${PUSH_CHECK_EXE:-}
if [ -z "$push" ]; then
  bash scripts/install-deps.sh cmake g++ make libcurl4-openssl-dev libsnappy-dev curl python3 openssl \
    prometheus influxdb victoria-metrics
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build -j"$(nproc)" --target push_check
  push="$root/build/tests/stores/push_check"
fi
for tool in influxd prometheus victoria-metrics curl python3 openssl; do
  if ! command -v "$tool" >/dev/null; then
    echo "$script_name: $tool is missing: bash scripts/install-deps.sh influxdb prometheus victoria-metrics curl python3 openssl" >&2
    exit "$skip"
  fi
done
# The stores are on loopback: no proxy may stand between.
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY

addr=127.0.48.1
work=$(mktemp -d /tmp/logfetch-push-XXXXXX)
cleanup() {
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

# --- InfluxDB 1.x: line protocol.
start_influxd "$work/influx" "$addr"
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
echo "test-push: all passed in $(($(date +%s) - started)) s"
