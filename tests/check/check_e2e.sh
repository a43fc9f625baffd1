#!/usr/bin/env bash
# --check as a monitoring system runs it, against boxsim boxes on
# 127.0.57.N: one table of situations (all well, a box whose datalog
# stopped, a value beyond its crit range, a box that does not answer, the
# check's own time limit, a site file that cannot be used), each checked for
# its exit status, its first line and its performance data: one entry per
# known sensor, in the plugin guidelines' syntax.
#
# Under ctest LOGFETCH_EXE and BOXSIM_EXE name the binaries; SKIP is the
# status for a machine without root.
set -euo pipefail
cd "$(dirname "$0")/../.."
skip=${CHECK_SKIP:-1}
. scripts/lib.sh
require_root "$skip" "needs root: boxsim binds UDP port 811"
logfetch=$(realpath "${LOGFETCH_EXE:?}")
boxsim=$(realpath "${BOXSIM_EXE:?}")
net=127.0.57
work=$(mktemp -d /tmp/logfetch-check-XXXXXX)
trap 'kill_boxsims; rm -rf "$work"' EXIT

box() {  # system clock last_log_time
  printf 'system %s\nclock %s\npassword public\n' "$1" "$2"
  printf '[port 1 slot 1]\ntype temperature\nunit C\nsample_size 2\ninterval 5\ncapacity 500\nlast_log_time %s\ngenerate 40 ramp 200 5\n' "$3"
  printf '[port 3 slot 2]\ntype humidity\nunit %%\nsample_size 1\ninterval 15\ncapacity 500\nlast_log_time %s\ngenerate 20 ramp 40 1\n' "$3"
}
box Live now clock >"$work/live.box"
box Stale 1796685429 1796680000 >"$work/stale.box"  # 5429 s behind its own clock
start_boxsim "$work/boxes" 2 "$boxsim" --max-seconds 120 \
  --box "$net.1=$work/live.box" --box "$net.2=$work/stale.box"

# site NAME BOX... : a site file of the boxes given as name:N:extra-toml
site() {
  local name=$1 b
  shift
  mkdir -p "$work/$name"
  for b in "$@"; do
    IFS=: read -r bname n extra <<<"$b"
    printf '[[box]]\nname = "%s"\naddress = "%s.%s"\npassword = "public"\n' "$bname" "$net" "$n"
    [ -z "$extra" ] || printf '%b' "$extra"
  done >"$work/$name/site.toml"
  chmod 600 "$work/$name/site.toml"
}
holds='[[box.sensor]]\nport = 1\nslot = 1\nwarn = "0:400"\ncrit = "~:500"\n'
site ok "rack 'one':1:$holds"
site stale live:1 stale:2
site hot "live:1:[[box.sensor]]\nport = 1\nslot = 1\ncrit = \"0:300\"\n"
site dead live:1 dead:9
site slow dead:9
site bad "live:1:[[box.sensor]]\nport = 1\nslot = 3\nwarn = \"27:18\"\n"

# name | status | first line up to " | " (a regex) | perfdata entries | extra args
table="ok|0|LOGFETCH OK - 1 box, 2 sensors|2|
stale|1|LOGFETCH WARNING - 2 sensors stale|4|
hot|2|LOGFETCH CRITICAL - 1 sensor critical|2|
dead|2|LOGFETCH CRITICAL - 1 of 2 boxes not reached \\(dead\\)|2|
slow|3|LOGFETCH UNKNOWN - timed out after 2 s, before the collection was done|0|--timeout 2
bad|3|LOGFETCH UNKNOWN - site.toml:7: 'slot' in \\[\\[box.sensor\\]\\] must be a whole number from 1 to 2|0|"

# The dead box waits out every request: all situations run at once.
pids=()
while IFS='|' read -r name _ _ _ extra; do
  # shellcheck disable=SC2086
  (cd "$work/$name" && { s=0; "$logfetch" -f site.toml --check -n -c $extra >out 2>err || s=$?; echo $s >rc; }) &
  pids+=($!)
done <<<"$table"
began=$(date +%s)
for p in "${pids[@]}"; do wait "$p"; done
took=$(($(date +%s) - began))

while IFS='|' read -r name status first entries _; do
  out="$work/$name/out"
  rc=$(cat "$work/$name/rc")
  [ "$rc" = "$status" ] || fail "$name: status $rc, not $status: $(cat "$out") $(tail -3 "$work/$name/err")"
  python3 - "$out" "$first" "$entries" "$name" <<'PY' || fail "$name: output is not what it should be: $(cat "$out")"
import re, sys
out, first, entries, name = open(sys.argv[1]).read(), sys.argv[2], int(sys.argv[3]), sys.argv[4]
lines = out.split("\n")
assert lines[-1] == "", "the output does not end with a line end"
head, _, perf = lines[0].partition(" | ")
assert re.fullmatch(first, head), f"first line {head!r}"
assert "|" not in "\n".join(lines[1:]), "a '|' in the long output"
num = r"-?[0-9]+(?:\.[0-9]+)?"
rng = rf"@?(?:(?:~|{num}):)?(?:{num})?"
entry = rf"'(?:[^'=]|'')+'=(?:{num}|U)(?:s|%|B|c)?(?:;{rng}(?:;{rng}(?:;(?:{num})?(?:;(?:{num})?)?)?)?)?"
found = re.findall(rf"(?:^| )({entry})(?= |$)", perf)
assert " ".join(found) == perf, f"perfdata not in the guidelines' syntax: {perf!r}"
assert len(found) == entries, f"{len(found)} perfdata entries, not {entries}"
labels = [re.match(r"'((?:[^']|'')+)'", e).group(1) for e in found]
assert len(set(labels)) == len(labels), "a sensor twice"
want = {
    "ok": ["'rack ''one'' p1s1 temperature'=395;0:400;~:500", "'rack ''one'' p3s2 humidity'=59"],
    "hot": ["'live p1s1 temperature'=395;;0:300", "'live p3s2 humidity'=59"],
}.get(name)
assert want is None or found == want, f"perfdata {found}"
if name == "hot": assert "live p1s1 temperature: 395 (crit 0:300)" in lines[1:], lines
if name == "dead": assert "dead: not reached: no reply" in lines[1:], lines
if name == "stale":
    assert any(l.startswith("stale p1s1 temperature: newest sample 5429 s old") for l in lines), lines
PY
  echo "check_e2e: $name: status $rc, $(head -c 70 "$out")"
done <<<"$table"
# The console of a check is on standard error, none of it on standard output.
grep -q "^live: " "$work/ok/err" 2>/dev/null || grep -q "Summary: rack 'one'" "$work/ok/err" ||
  fail "the console of a check is not on standard error: $(cat "$work/ok/err")"
echo "check_e2e: all situations as they should be in $took s"
