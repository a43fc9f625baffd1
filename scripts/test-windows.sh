#!/usr/bin/env bash
# The Windows programs: cross-builds logfetch.exe and boxsim.exe with
# MinGW-w64, runs the end-to-end suites on logfetch.exe under Wine against the
# native boxsim and on boxsim.exe under Wine against the native logfetch,
# rehearses the README's "Try it on Windows" with both under Wine, and packs
# the zip. Uses the native build in build/ that scripts/test.sh makes first.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
started=$(date +%s)
. scripts/lib.sh
. scripts/stores-lib.sh
# Seconds since the start, for the timing lines.
elapsed() { echo $(($(date +%s) - started)); }

bash scripts/install-deps.sh g++-mingw-w64-x86-64 wine
command -v wine >/dev/null || fail "wine is not installed"

# NATIVE_BUILD: the native build folder holding the end-to-end suites and boxsim.
native="${NATIVE_BUILD:-$root/build}"
e2e="$native/tests/e2e/e2e_test"
faults="$native/tests/faults/faults_test"
incremental="$native/tests/incremental/incremental_e2e_test"
site="$native/tests/site/site_e2e_test"
for bin in "$e2e" "$faults" "$incremental" "$site"; do
  [ -x "$bin" ] || fail "$bin is missing: run scripts/test.sh (the native build) first"
done

# The cross build: the two programs; tests and benchmarks stay native.
cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build-win -j"$(nproc)" --target logfetch boxsim console_check udp_check push_check
exe="$root/build-win/app/logfetch.exe"
box_exe="$root/build-win/boxsim/boxsim.exe"
for bin in "$exe" "$box_exe"; do
  [ -f "$bin" ] || fail "$bin was not built"
done
echo "test-windows: cross build done at $(elapsed) s"

# Only DLLs that every Windows has: no MinGW runtime may be left to ship.
# logfetch.exe pushes to stores through WinHTTP.
for bin in "$exe" "$box_exe"; do
  dlls=$(x86_64-w64-mingw32-objdump -p "$bin" | sed -n 's/^[[:space:]]*DLL Name: //p' | sort -u)
  echo "$(basename "$bin") imports:" $dlls
  for dll in $dlls; do
    case "${dll,,}" in
      kernel32.dll | msvcrt.dll | ws2_32.dll | user32.dll | advapi32.dll) ;;
      winhttp.dll) [ "$bin" = "$exe" ] || fail "$(basename "$bin") needs $dll" ;;
      *) fail "$(basename "$bin") needs $dll, which Windows does not ship" ;;
    esac
  done
done

# A fresh Wine prefix of our own, quiet and without a display; the Mono and
# Gecko installers are switched off so that nothing asks a question.
tmp=$(mktemp -d)
export WINEPREFIX="$tmp/wine" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
cleanup() {
  kill_boxsims
  stop_stores
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$tmp"
}
trap cleanup EXIT
timeout 300 wineboot -i >/dev/null 2>&1 || fail "wineboot could not prepare $WINEPREFIX"
timeout 60 wineserver -w || fail "the Wine prefix did not settle"
echo "test-windows: Wine prefix ready at $(elapsed) s"

# Wine hands the Windows exit code to Linux as its low eight bits: -1 is 255.
set +e
wine "$exe" /nonsense >/dev/null
status=$?
set -e
[ "$status" -eq 255 ] || fail "logfetch.exe /nonsense ended with $status under Wine, not 255"

# The scheduled task of a site names the .exe and the site file as Windows
# paths, and is XML a parser takes.
printf '[[box]]\naddress = "127.0.0.1"\npassword = "public"\n' >"$tmp/site.toml"
site_win=$(winepath -w "$tmp/site.toml")
wine "$exe" --task-xml -f "$site_win" | tr -d '\r' >"$tmp/task.xml" ||
  fail "logfetch.exe --task-xml -f $site_win failed under Wine: $(cat "$tmp/task.xml")"
python3 -c 'import sys, xml.dom.minidom; xml.dom.minidom.parse(sys.argv[1])' "$tmp/task.xml" ||
  fail "logfetch.exe --task-xml printed no well-formed XML: $(cat "$tmp/task.xml")"
for want in "<Command>$(winepath -w "$exe")</Command>" "<Arguments>-f $site_win -n -c -w</Arguments>" \
  "<WorkingDirectory>${site_win%\\*}</WorkingDirectory>" "<Interval>PT15M</Interval>"; do
  grep -qF "$want" "$tmp/task.xml" || fail "logfetch.exe --task-xml lacks $want: $(cat "$tmp/task.xml")"
done
echo "test-windows: logfetch.exe --task-xml names $site_win"

# The same end-to-end suites as the native run, each on a loopback net of its
# own (127.0.4.x, 127.0.6.x, 127.0.13.x, 127.0.20.x) so they cannot meet a
# native run or each other, all at once in parallel shards: every test has its
# own box address, and most of the time goes to waiting for replies. What
# cannot run under Wine skips itself, with the reason.
is_root || echo "$script_name: not root: tests that bind port 811 will skip" >&2
shards=4
suite_pids=()
suite_logs=()
start_suite() {  # binary, net
  local bin=$1 net=$2 name i
  name=$(basename "$bin")
  echo "$name under Wine on 127.0.$net.x ($shards shards)"
  for ((i = 0; i < shards; i++)); do
    LOGFETCH_EXE="$exe" LOGFETCH_RUNNER=wine E2E_NET=$net GTEST_TOTAL_SHARDS=$shards \
      GTEST_SHARD_INDEX=$i "$bin" >"$tmp/$name.$i.log" 2>&1 &
    suite_pids+=($!)
    suite_logs+=("$tmp/$name.$i.log")
  done
}
start_suite "$e2e" 4
start_suite "$faults" 6
# Scheduled collection: first and incremental runs, records that do not fit,
# starting over, a damaged state file.
start_suite "$incremental" 13
# Site runs: walks on threads of logfetch.exe, byte for byte those of
# separate runs, dead boxes side by side, the deadline.
start_suite "$site" 20
failed=()
for ((i = 0; i < ${#suite_pids[@]}; i++)); do
  log=${suite_logs[$i]}
  if wait "${suite_pids[$i]}"; then
    grep -E '^\[ *(PASSED|SKIPPED|observed) *\]' "$log" || true
  else
    cat "$log"
    failed+=("$(basename "${log%.*.log}")")
  fi
done
[ "${#failed[@]}" -eq 0 ] || fail "$(printf '%s\n' "${failed[@]}" | sort -u | tr '\n' ' ')failed under Wine"
echo "test-windows: the suites under Wine done at $(elapsed) s"

# The hidden prompt's console side needs a real console: Wine gives one when
# started from a terminal, which script(1) provides. Exit status 0: passed.
check=$(script -qec "wine '$root/build-win/platform/console_check.exe'" /dev/null </dev/null) ||
  fail "$(sed 's/\x1b\[?25[hl]//g; s/\x1b\[[0-9;]*[A-Za-z]/ /g' <<<"$check" | tr -s ' ')"
echo "test-windows: console check passed"
# Waiting on several event-tied sockets at once, as the link's sockets wait.
wine "$root/build-win/platform/udp_check.exe" | tr -d '\r' | grep -qx "udp check passed" ||
  fail "the Windows wait on several sockets failed: $(wine "$root/build-win/platform/udp_check.exe")"
echo "test-windows: udp check passed (a wait on two event-tied sockets)"

# Pushes through WinHTTP: push_check.exe under Wine posts into a native
# influxd (line protocol, three bodies) and Prometheus (remote write with
# our own snappy encoder, the Windows build's only one), on 127.0.49.1, and
# the samples are queried back.
if command -v influxd >/dev/null && command -v prometheus >/dev/null; then
  push_exe="$root/build-win/tests/stores/push_check.exe"
  wine_push() {  # name, arguments...
    local name=$1
    shift
    timeout 120 wine "$push_exe" "$@" | tr -d '\r' >"$tmp/$name.out" ||
      fail "push_check.exe ($name) under Wine: $(cat "$tmp/$name.out")"
    sed -n 's/^pushed \([0-9]*\) samples in [0-9]* bodies, sum \(.*\)$/\1 \2/p' "$tmp/$name.out"
  }
  start_influxd "$tmp/influx" 127.0.49.1
  curl -sf -XPOST "$influx_url/query" --data-urlencode "q=CREATE DATABASE wine" >/dev/null ||
    fail "influxd did not create the database"
  sent=$(wine_push influx --url "$influx_url/write?db=wine" --format influx --series 3 --samples 4000)
  got=$(curl -sf -G "$influx_url/query" --data-urlencode db=wine \
    --data-urlencode 'q=SELECT count(value), sum(value) FROM logfetch_temperature, logfetch_4_20ma' |
    python3 -c 'import json,sys; r=json.load(sys.stdin)["results"][0]["series"]; print("%d %.1f" % (sum(s["values"][0][1] for s in r), sum(s["values"][0][2] for s in r)))')
  [ -n "$sent" ] && [ "$got" = "$sent" ] || fail "InfluxDB holds '$got' from push_check.exe, which sent '$sent'"
  # The window takes logfetch.exe's datalog behind what push_check sent.
  start_prometheus "$tmp/prom" 127.0.49.1 30d
  sent=$(wine_push prom --url "$prom_url/api/v1/write" --format remote_write --series 4 --samples 50 --most 30)
  got=$(curl -sf -G "$prom_url/api/v1/query" --data-urlencode "time=$(date +%s)" \
    --data-urlencode 'query=sum(count_over_time({system_name="Push check"}[3h]))' |
    python3 -c 'import json,sys; print(json.load(sys.stdin)["data"]["result"][0]["value"][1])')
  [ "$got" = "${sent%% *}" ] || fail "Prometheus holds $got samples from push_check.exe, which sent ${sent%% *}"
  echo "test-windows: WinHTTP under Wine pushed into influxd (3 bodies) and Prometheus (7 bodies, own snappy)"
  # logfetch.exe itself: one site run of a native box, pushed to both.
  start_boxsim "$tmp/push-box" 1 "$native/boxsim/boxsim" --addr 127.0.49.2 --max-seconds 60 \
    "$root/tests/stores/pushing.box"
  mkdir -p "$tmp/push-site"
  printf '[[store]]\nkind = "influx"\nurl = "%s/write?db=wine&precision=s"\n[[store]]\nkind = "remote_write"\nurl = "%s/api/v1/write"\n[[box]]\nname = "wine"\naddress = "127.0.49.2"\npassword = "public"\n' \
    "$influx_url" "$prom_url" >"$tmp/push-site/site.toml"
  chmod 600 "$tmp/push-site/site.toml"
  (cd "$tmp/push-site" && timeout 120 wine "$exe" -f site.toml -n) | tr -d '\r' >"$tmp/push-site.out" ||
    fail "logfetch.exe -f site.toml -n with two stores under Wine: $(cat "$tmp/push-site.out")"
  grep -qx 'Summary: wine: 2 sensors saved, 600 samples saved, ok, influx: 600 samples sent, remote_write: 600 samples sent' \
    "$tmp/push-site.out" || fail "logfetch.exe's push: $(cat "$tmp/push-site.out")"
  got=$(curl -sf -G "$influx_url/query" --data-urlencode db=wine \
    --data-urlencode "q=SELECT count(value) FROM /logfetch_.*/ WHERE box = 'wine'" |
    python3 -c 'import json,sys; print(sum(s["values"][0][1] for s in json.load(sys.stdin)["results"][0]["series"]))')
  [ "$got" = 600 ] || fail "InfluxDB holds $got samples from logfetch.exe, which sent 600"
  got=$(curl -sf -G "$prom_url/api/v1/query" --data-urlencode "time=$(($(date +%s) + 60))" \
    --data-urlencode 'query=sum(count_over_time({box="wine"}[1d]))' |
    python3 -c 'import json,sys; print(json.load(sys.stdin)["data"]["result"][0]["value"][1])')
  [ "$got" = 600 ] || fail "Prometheus holds $got samples from logfetch.exe, which sent 600"
  stop_stores
  echo "test-windows: logfetch.exe under Wine pushed a site run of 600 samples into influxd and Prometheus"
else
  echo "test-windows: influxd or prometheus missing: the WinHTTP push under Wine is skipped" >&2
fi

# boxsim.exe under Wine serves the native logfetch through the same suites.
# Wine 8 binds a Windows program's datagram socket asked for any loopback
# address but 127.0.0.1 to all addresses, and its replies then come from
# 127.0.0.1: so every box is on 127.0.0.1, one at a time. The tests that
# need a second address, show nothing of boxsim's sockets, or run boxsim at
# a real-time priority skip themselves.
run_box_suite() {  # binary
  local bin=$1 name
  name=$(basename "$bin")
  echo "$name against boxsim.exe under Wine on 127.0.0.1"
  BOXSIM_EXE="$box_exe" BOXSIM_RUNNER=wine E2E_BOX_ADDR=127.0.0.1 \
    "$bin" >"$tmp/$name.boxsim.log" 2>&1 ||
    { cat "$tmp/$name.boxsim.log"; fail "$name failed against boxsim.exe"; }
  grep -E '^\[ *(PASSED|SKIPPED) *\]' "$tmp/$name.boxsim.log" || true
  echo "test-windows: $name against boxsim.exe done at $(elapsed) s"
}
# One Wine server for all of them, started here at an ordinary priority
# once the last one has ended.
timeout 60 wineserver -w || fail "the Wine server did not end"
wineserver -p || fail "could not start a persistent Wine server"
run_box_suite "$e2e"
run_box_suite "$faults"

# The rehearsal of the README's "Try it on Windows": boxsim.exe serving the
# demo box on 127.0.0.1 and logfetch.exe downloading it, both under Wine,
# then stopped with Ctrl-C. Its output and reports must be the native
# programs' byte for byte, but for Windows line ends (CRLF). The demo box
# follows the host's clock; pinned, two runs give the same reports.
demo="$tmp/demo.box"
sed 's/^clock .*/clock 1796685429/' examples/demo.box >"$demo"
grep -qx 'clock 1796685429' "$demo" || fail "examples/demo.box has no clock line to pin"
rehearse() {  # folder, boxsim's fault flags; the arrays box_cmd and fetch_cmd name the programs
  local name=$1 out="$tmp/$1" status=0
  mkdir -p "$out/reports"
  shift
  start_boxsim "$out/box" 1 "${box_cmd[@]}" --max-seconds 300 "$@" "$demo"
  grep -q "^boxsim: serving on 127.0.0.1:811" "$out/box.out" ||
    fail "$name: boxsim did not start: $(cat "$out/box.err")"
  (cd "$out/reports" && timeout 300 "${fetch_cmd[@]}" -i 127.0.0.1 -p public >"$out/stdout") ||
    fail "$name: logfetch did not download the demo box"
  stop_boxsim "$boxsim_pid" || status=$?
  [ "$status" -eq 0 ] || fail "$name: boxsim ended with $status after Ctrl-C, not 0"
  grep -q "^boxsim: stopped" "$out/box.err" || fail "$name: boxsim did not see the Ctrl-C"
}
box_cmd=("$native/boxsim/boxsim")
fetch_cmd=("$native/app/logfetch")
rehearse native
box_cmd=(wine "$box_exe")
fetch_cmd=(wine "$exe")
rehearse windows
# Once more with junk from both of boxsim.exe's sockets ahead of every
# reply, all of which logfetch drops: the same reports. (Doubled replies are
# left to the suites above: on a free schedule a copy can be read as the
# answer to the next request, which no client can tell.)
rehearse windows-junk --junk length,port_byte,from_812,count_over,count_zero
crlf() { sed 's/$/\r/' "$1"; }
reports=$(cd "$tmp/native/reports" && ls)
[ -n "$reports" ] || fail "the native run wrote no report"
for run in windows windows-junk; do
  [ "$reports" = "$(cd "$tmp/$run/reports" && ls)" ] || fail "$run: the rehearsal wrote other reports"
  crlf "$tmp/native/stdout" | cmp -s - "$tmp/$run/stdout" ||
    fail "$run: the rehearsal's output differs from the native run's"
  for report in $reports; do
    crlf "$tmp/native/reports/$report" | cmp -s - "$tmp/$run/reports/$report" ||
      fail "$run: the rehearsal's $report differs from the native one"
  done
done
echo "test-windows: rehearsal under Wine: $(wc -w <<<"$reports") reports and the output as native," \
  "also with junk replies; boxsim.exe ended by Ctrl-C with 0, at $(elapsed) s"

# The zip users download: the programs, the README, boxsim's guide and the
# sample box files.
(cd build-win && cpack -G ZIP) || fail "cpack could not pack the zip"
zip=$(ls -t build-win/logfetch-*-win64.zip | head -n 1)
listing=$(cmake -E tar tf "$zip")
for want in logfetch.exe boxsim.exe README.md docs/boxsim.md examples/; do
  grep -q "/$want" <<<"$listing" || fail "$zip lacks $want"
done
[ "$(grep -c '/examples/.' <<<"$listing")" -gt 0 ] || fail "$zip has no sample box file"
echo "$zip:"
sed 's/^/  /' <<<"$listing"
# The packed program is stripped: it must still run.
mkdir "$tmp/unzipped"
(cd "$tmp/unzipped" && cmake -E tar xf "$root/$zip")
packed=$(ls "$tmp"/unzipped/*/logfetch.exe)
usage=$(wine "$packed" -?) || fail "the zipped logfetch.exe does not run"
grep -q "Download data from Vellorix" <<<"$usage" || fail "the zipped logfetch.exe shows no usage"
version=$(basename "$zip" | sed 's/^logfetch-\(.*\)-win64\.zip$/\1/')
[ "$(wine "$packed" -v | tr -d '\r')" = "logfetch $version" ] ||
  fail "the zipped logfetch.exe -v does not say logfetch $version"
usage=$(wine "$(dirname "$packed")/boxsim.exe" --help) || fail "the zipped boxsim.exe does not run"
grep -q "usage: boxsim" <<<"$usage" || fail "the zipped boxsim.exe shows no usage"

echo "test-windows: the Windows part took $(elapsed) s"
