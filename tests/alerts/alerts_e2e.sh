#!/usr/bin/env bash
# The textfile as an operator alerts on it: a site of a box that logs on
# (live), one whose datalog stopped long ago (stale), one that answers only
# the first run (dead) and one with a wrong password (refused), collected
# three times with -n -c -m. After each run the textfile must name every
# sensor known with the times the box files give, under its box label, and
# the README's rules (examples/logfetch-alerts.yml) must fire exactly the
# alerts the situation calls for, under `promtool test rules`. The first
# run also writes a second textfile into a folder that does not exist: said,
# status 2, and the site page still written.
#
# Under ctest LOGFETCH_EXE and BOXSIM_EXE name the binaries; SKIP is the
# status for a machine without root or promtool.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)
skip=${ALERTS_SKIP:-1}
. scripts/lib.sh
require_root "$skip" "needs root: boxsim binds UDP port 811"
command -v promtool >/dev/null || { echo "promtool is missing (Debian: prometheus)" >&2; exit "$skip"; }
logfetch=${LOGFETCH_EXE:?}
boxsim=${BOXSIM_EXE:?}
net=127.0.53
work=$(mktemp -d /tmp/logfetch-alerts-XXXXXX)
trap 'kill_boxsims; rm -rf "$work"' EXIT

box() {  # system clock last_log_time
  printf 'system %s\nclock %s\npassword public\n' "$1" "$2"
  printf '[port 1 slot 1]\ntype temperature\nunit C\nsample_size 2\ninterval 5\ncapacity 500\nlast_log_time %s\ngenerate 40 ramp 200 5\n' "$3"
  printf '[port 3 slot 2]\ntype humidity\nunit %%\nsample_size 1\ninterval 15\ncapacity 500\nlast_log_time %s\ngenerate 20 ramp 40 1\n' "$3"
}
stale_time=1796685000
box Live now clock >"$work/live.box"
box Stale 1796685429 "$stale_time" >"$work/stale.box"
box Dead now clock >"$work/dead.box"
box Refused now clock >"$work/refused.box"
mkdir "$work/site"
{
  printf 'concurrency = 4\n'
  for b in live:1 stale:2 dead:3 refused:4; do
    printf '[[box]]\nname = "%s"\naddress = "%s.%s"\npassword = "%s"\n' \
      "${b%:*}" "$net" "${b#*:}" "$([ "${b%:*}" = refused ] && echo wrong || echo public)"
  done
} >"$work/site/site.toml"
chmod 600 "$work/site/site.toml"
args=()
for b in live:1 stale:2 dead:3 refused:4; do args+=(--box "$net.${b#*:}=$work/${b%:*}.box"); done
start_boxsim "$work/all" 4 "$boxsim" --max-seconds 200 "${args[@]}"
others=()
for b in live:1 stale:2 refused:4; do others+=(--box "$net.${b#*:}=$work/${b%:*}.box"); done

prom="$work/site/site.prom"
for run in 1 2 3; do
  if [ "$run" = 2 ]; then  # the dead box stops answering
    stop_boxsim "$boxsim_pid" || true
    start_boxsim "$work/others" 3 "$boxsim" --max-seconds 200 "${others[@]}"
  fi
  began=$(date +%s)
  status=0
  (cd "$work" && "$logfetch" -f site/site.toml -n -c -w -m "$prom" >"$work/run$run.out" 2>"$work/run$run.err") ||
    status=$?
  ended=$(date +%s)
  [ "$status" = 1 ] || fail "run $run: status $status, not 1 (the refused box ends early): $(cat "$work/run$run.out")"
  if [ "$run" = 1 ]; then
    # A textfile that cannot be written is said, the status is 2, and the
    # rest of the run (summary, site page) stands.
    mkdir "$work/one"
    printf '[[box]]\nname = "live"\naddress = "%s.1"\npassword = "public"\n' "$net" >"$work/one/site.toml"
    chmod 600 "$work/one/site.toml"
    status=0
    "$logfetch" -f "$work/one/site.toml" -w -m "$work/nosuch/x.prom" >"$work/nosuch.out" 2>&1 || status=$?
    [ "$status" = 2 ] || fail "-m into a missing folder: status $status, not 2: $(cat "$work/nosuch.out")"
    grep -qx "Can't open file:$work/nosuch/x.prom to write data !" "$work/nosuch.out" ||
      fail "-m into a missing folder is not said: $(cat "$work/nosuch.out")"
    grep -q "^Summary: live: " "$work/nosuch.out" || fail "-m into a missing folder: no summary"
    [ -s "$work/one/index.html" ] || fail "-m into a missing folder: no site page"
    # A box folder that cannot be made (a file stands there): every output
    # of that box said, status 2, the other outputs of the run still there.
    : >"$work/one/blocked"
    printf 'folder = "blocked"\n' >>"$work/one/site.toml"
    status=0
    "$logfetch" -f "$work/one/site.toml" -w -m "$work/one/x.prom" >"$work/blocked.out" 2>&1 || status=$?
    [ "$status" = 2 ] || fail "a box folder that cannot be made: status $status, not 2: $(cat "$work/blocked.out")"
    grep -q "^live: Can't open file:$work/one/blocked/" "$work/blocked.out" ||
      fail "a box folder that cannot be made is not said: $(cat "$work/blocked.out")"
    [ -s "$work/one/x.prom" ] && [ -s "$work/one/index.html" ] ||
      fail "a box folder that cannot be made: no textfile or site page"
  fi
  if [ "$run" = 2 ]; then
    grep -q "^dead: logfetch: $net.3 port 811 did not answer 5 requests in 2[0-9] s\$" "$work/run2.err" ||
      fail "the dead box's wait is not said on standard error: $(cat "$work/run2.err")"
    # Stopped with Ctrl-C while it waits: said, and ended by the signal.
    # A job in the background starts with SIGINT ignored; a terminal's
    # program starts with it at its default.
    python3 -c 'import os, signal, sys; signal.signal(signal.SIGINT, signal.SIG_DFL); os.execv(sys.argv[1], sys.argv[1:])' \
      "$logfetch" -f "$work/site/site.toml" -n >"$work/stopped.out" 2>"$work/stopped.err" &
    pid=$!
    # Signalled once its walks are under way: on a busy machine a signal
    # sent sooner can reach the launcher, which ignores it.
    for ((i = 0; i < 200; i++)); do
      [ -s "$work/stopped.out" ] && break
      sleep 0.1
    done
    kill -INT "$pid"
    status=0
    wait "$pid" || status=$?
    [ "$status" = 130 ] || fail "a run stopped by Ctrl-C ended with $status, not 130"
    grep -qx "logfetch: stopped before the end of the run; what it saved is kept." "$work/stopped.err" ||
      fail "a run stopped by Ctrl-C does not say so: $(cat "$work/stopped.err")"
  fi
  [ -s "$work/site/index.html" ] || fail "run $run wrote no site page"
  # The dead box's row keeps the newest sample its folder holds.
  row=$(grep "<td>dead</td>" "$work/site/index.html") || fail "run $run: no row for the dead box"
  grep -q "</td><td>20[0-9-]*T[0-9:]*Z" <<<"$row" && ! grep -q "never" <<<"$row" ||
    fail "run $run: the dead box's newest sample is not shown: $row"
  promtool check metrics <"$prom" || fail "run $run: promtool check metrics found problems"

  # Every sensor of every box that ever answered, each time as the box gives it.
  python3 - "$prom" "$run" "$began" "$ended" "$stale_time" "$net" <<'PY' || fail "run $run: the textfile is not what it should be"
import re, sys
prom, run, began, ended, stale, net = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5]), sys.argv[6]
series = {}
for line in open(prom):
    m = re.match(r'^(\w+)\{(.*)\} (\S+)$', line.strip())
    if m:
        labels = dict(re.findall(r'(\w+)="([^"]*)"', m.group(2)))
        series[(m.group(1), tuple(sorted(labels.items())))] = float(m.group(3))
def get(name, **labels):
    return series.get((name, tuple(sorted(labels.items()))))
bad = []
for box, n in (("live", 1), ("stale", 2), ("dead", 3), ("refused", 4)):
    addr = f"{net}.{n}"
    st = get("logfetch_run_exit_status", box=box, address=addr)
    want = 1 if box == "refused" or (box == "dead" and run > 1) else 0
    if st != want: bad.append(f"{box}: exit status {st}, want {want}")
    ok = get("logfetch_box_last_success_time_seconds", box=box, address=addr)
    if box == "refused":
        if ok != 0: bad.append(f"refused: last success {ok}, want 0")
    elif ok is None or (box != "dead" or run == 1) and not began <= ok <= ended:
        bad.append(f"{box}: last success {ok} not within this run")
    for port, slot, typ, step in ((1, 1, "temperature", 300), (3, 2, "humidity", 900)):
        labels = dict(box=box, address=addr, port=str(port), slot=str(slot), type=typ)
        t = get("logfetch_sensor_last_sample_time_seconds", **labels)
        v = get("logfetch_sensor_last_sample_value", **labels)
        iv = get("logfetch_sensor_logging_interval_seconds", **labels)
        if box == "refused":
            if t is not None: bad.append(f"refused has a sensor series {labels}")
            continue
        if t is None or v is None or iv != step:
            bad.append(f"{box} p{port}s{slot}: time {t} value {v} interval {iv}")
            continue
        if box == "stale":
            if t != stale: bad.append(f"stale p{port}s{slot}: time {t}, want {stale}")
        elif not (began // step * step - step <= t <= ended // step * step):
            bad.append(f"{box} p{port}s{slot}: time {t} not the box's newest around {began}..{ended}")
        # The ramps end at 200 + 39 * 5 and 40 + 19.
        if v != (395 if typ == "temperature" else 59): bad.append(f"{box} p{port}s{slot}: value {v}")
if bad:
    print("\n".join(bad)); sys.exit(1)
PY

  # The README's rules against this textfile: the times shifted so that the
  # test's clock reads the run's end at 1m.
  python3 - "$prom" "$ended" "$work/test$run.yml" "$root/examples/logfetch-alerts.yml" "$run" <<'PY'
import re, sys
prom, ended, out, rules, run = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4], int(sys.argv[5])
shift = ended - 60
inputs = []
for line in open(prom):
    m = re.match(r'^(\w+)(\{.*\}) (\S+)$', line.strip())
    if not m: continue
    v = float(m.group(3))
    if m.group(1).endswith("_time_seconds"): v -= shift
    inputs.append((m.group(1) + m.group(2), v))
def alerts(name, boxes):
    return [(name, b) for b in boxes]
net = "127.0.53"
addr = {"live": net + ".1", "stale": net + ".2", "dead": net + ".3", "refused": net + ".4"}
sensors = [("1", "1", "temperature"), ("3", "2", "humidity")]
def box_alert(name, box):
    return {"alertname": name, "box": box, "address": addr[box]}
def sensor_alert(box, s):
    return {"alertname": "LogfetchSensorStale", "box": box, "address": addr[box], "port": s[0], "slot": s[1], "type": s[2]}
failed = ["refused"] + (["dead"] if run > 1 else [])
now = {
    "LogfetchBoxNotCollected": [box_alert("LogfetchBoxNotCollected", "refused")],
    "LogfetchRunFailed": [box_alert("LogfetchRunFailed", b) for b in failed],
    "LogfetchSensorStale": [sensor_alert("stale", s) for s in sensors],
    "LogfetchHeadroomShort": [],  # every ring holds days, and nothing lacks
}
# Half an hour on with nothing collected: every box is overdue, and so is
# every sensor whose newest sample is then older than three intervals. The
# times were checked against the box files above.
later_time = ended + 31 * 60
def stale_at(box, s, at):
    labels = f'{{box="{box}",address="{addr[box]}",port="{s[0]}",slot="{s[1]}",type="{s[2]}"}}'
    t = next(v for n, v in inputs if n == "logfetch_sensor_last_sample_time_seconds" + labels) + shift
    step = 300 if s[2] == "temperature" else 900
    return at - t > 3 * step
later = {
    "LogfetchBoxNotCollected": [box_alert("LogfetchBoxNotCollected", b) for b in addr],
    "LogfetchRunFailed": now["LogfetchRunFailed"],
    "LogfetchSensorStale": [sensor_alert(b, s) for b in ("live", "stale", "dead") for s in sensors
                            if stale_at(b, s, later_time)],
    "LogfetchHeadroomShort": [],
}
def summary(l):
    if l["alertname"] == "LogfetchBoxNotCollected": return f"{l['box']} has not been collected for 30 minutes"
    if l["alertname"] == "LogfetchRunFailed": return f"the last run against {l['box']} failed"
    return f"{l['box']} port {l['port']} slot {l['slot']}: no sample for three logging intervals"
def q(s): return '"' + s.replace('\\', '\\\\').replace('"', '\\"') + '"'
with open(out, "w") as f:
    f.write(f"rule_files:\n  - {rules}\nevaluation_interval: 1m\ntests:\n  - interval: 1m\n    input_series:\n")
    for name, v in inputs:
        f.write(f"      - series: {q(name)}\n        values: '{v:.0f}x40'\n")
    f.write("    alert_rule_test:\n")
    for at, want in (("1m", now), ("32m", later)):
        for alert, exp in want.items():
            f.write(f"      - eval_time: {at}\n        alertname: {alert}\n        exp_alerts:")
            if not exp: f.write(" []\n"); continue
            f.write("\n")
            for labels in exp:
                f.write("          - exp_labels:\n")
                for k, val in labels.items():
                    if k != "alertname": f.write(f"              {k}: {q(val)}\n")
                f.write(f"            exp_annotations:\n              summary: {q(summary(labels))}\n")
PY
  promtool test rules "$work/test$run.yml" >"$work/rules$run.out" 2>&1 ||
    { cat "$work/rules$run.out"; fail "run $run: the alerts are not those the situation calls for"; }
  echo "alerts_e2e: run $run: textfile and alerts as they should be"
done
