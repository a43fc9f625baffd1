# shellcheck shell=bash
# Throw-away monitoring stores on loopback for the push tests; sourced after
# scripts/lib.sh. Each server gets a free port, a data folder under the
# given one and a bounded wait until it answers.
#
# free_port ADDR                    a TCP port free on ADDR
# wait_http SECONDS CODE URL [CURL ARGS...]
#                                   waits until URL answers CODE; false after SECONDS
# start_influxd DIR ADDR [PORT]     InfluxDB 1.x, on PORT when given; sets influx_url
# start_prometheus DIR ADDR [WINDOW]
#                                   Prometheus with its remote-write receiver and,
#                                   given, an out-of-order window ("30d"); sets prom_url
# start_victoria DIR ADDR [CERT KEY CA]
#                                   VictoriaMetrics, over https with CERT and KEY
#                                   (signed by CA); sets vm_url
# stop_stores                       ends every server started here, for EXIT traps

store_pids=()

free_port() {
  python3 -c 'import socket,sys; s=socket.socket(); s.bind((sys.argv[1],0)); print(s.getsockname()[1])' "$1"
}

wait_http() {
  local seconds=$1 code=$2 url=$3 tries
  shift 3
  for ((tries = seconds * 10; tries > 0; tries--)); do
    [ "$(curl -s -o /dev/null -w '%{http_code}' "$@" "$url" 2>/dev/null)" = "$code" ] && return 0
    sleep 0.1
  done
  return 1
}

# Starts "$@" with its output in LOG and remembers it.
start_store() {
  local log=$1
  shift
  "$@" >"$log" 2>&1 &
  store_pids+=($!)
}

start_influxd() {
  local dir=$1 addr=$2 http=${3:-} rpc
  [ -n "$http" ] || http=$(free_port "$addr")
  rpc=$(free_port "$addr")
  mkdir -p "$dir"
  cat >"$dir/influxdb.conf" <<CONF
reporting-disabled = true
bind-address = "$addr:$rpc"
[meta]
  dir = "$dir/meta"
[data]
  dir = "$dir/data"
  wal-dir = "$dir/wal"
  query-log-enabled = false
[http]
  bind-address = "$addr:$http"
  log-enabled = false
[monitor]
  store-enabled = false
CONF
  start_store "$dir/log" influxd -config "$dir/influxdb.conf"
  influx_url="http://$addr:$http"
  wait_http 20 204 "$influx_url/ping" || fail "influxd did not answer in 20 s: $(tail -n 5 "$dir/log")"
}

start_prometheus() {
  local dir=$1 addr=$2 window=${3:-} port
  port=$(free_port "$addr")
  mkdir -p "$dir"
  echo "scrape_configs: []" >"$dir/prometheus.yml"
  if [ -n "$window" ]; then
    printf 'storage:\n  tsdb:\n    out_of_order_time_window: %s\n' "$window" >>"$dir/prometheus.yml"
  fi
  start_store "$dir/log" prometheus --config.file="$dir/prometheus.yml" \
    --storage.tsdb.path="$dir/data" --web.listen-address="$addr:$port" \
    --web.enable-remote-write-receiver
  prom_url="http://$addr:$port"
  wait_http 30 200 "$prom_url/-/ready" || fail "prometheus did not get ready in 30 s: $(tail -n 5 "$dir/log")"
}

start_victoria() {
  local dir=$1 addr=$2 cert=${3:-} key=${4:-} ca=${5:-} port scheme=http tls_flags=() curl_ca=()
  port=$(free_port "$addr")
  mkdir -p "$dir"
  if [ -n "$cert" ]; then
    scheme=https
    tls_flags=(-tls -tlsCertFile="$cert" -tlsKeyFile="$key")
    curl_ca=(--cacert "$ca")
  fi
  # No latency offset: a query sees what was just written.
  start_store "$dir/log" victoria-metrics -storageDataPath="$dir/data" -httpListenAddr="$addr:$port" \
    -search.latencyOffset=0s -loggerLevel=ERROR "${tls_flags[@]}"
  vm_url="$scheme://$addr:$port"
  wait_http 20 200 "$vm_url/health" "${curl_ca[@]}" ||
    fail "victoria-metrics did not answer in 20 s: $(tail -n 5 "$dir/log")"
}

stop_stores() {
  local p
  for p in "${store_pids[@]}"; do
    kill "$p" 2>/dev/null || true
    wait "$p" 2>/dev/null || true
  done
  store_pids=()
}
