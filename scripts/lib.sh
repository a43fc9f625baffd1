# shellcheck shell=bash
# What the scripts under scripts/ share; each sources it after going to the
# project root:  . scripts/lib.sh
#
# fail MESSAGE...            "NAME: FAILED: MESSAGE" on standard error, status 1
# is_root                    whether the script runs as root
# require_root STATUS WHY    not root: says "NAME: WHY" and ends with STATUS
# start_boxsim OUT LINES PROGRAM ARGS...
#                            starts a boxsim (PROGRAM may be "wine" and the
#                            .exe), its output in OUT.out and OUT.err, and waits
#                            for its LINES "serving on" lines; sets boxsim_pid
# stop_boxsim PID            Ctrl-C, a bounded wait, then its exit status
# kill_boxsims               ends every boxsim still running, for EXIT traps

script_name=$(basename "$0" .sh)

fail() {
  echo "$script_name: FAILED: $*" >&2
  exit 1
}

is_root() { [ "$(id -u)" -eq 0 ]; }

require_root() {
  if ! is_root; then
    echo "$script_name: $2" >&2
    exit "$1"
  fi
}

# Long enough for a first boxsim.exe under Wine; a boxsim that ends early
# is seen at once.
boxsim_ready_seconds=20
boxsim_pids=()

start_boxsim() {
  local out=$1 lines=$2 tries status
  shift 2
  : >"$out.out"
  : >"$out.err"
  "$@" >"$out.out" 2>"$out.err" &
  boxsim_pid=$!
  boxsim_pids+=("$boxsim_pid")
  for ((tries = boxsim_ready_seconds * 10; tries > 0; tries--)); do
    [ "$(grep -c "serving on" "$out.out")" -ge "$lines" ] && return 0
    if ! kill -0 "$boxsim_pid" 2>/dev/null; then
      status=0
      wait "$boxsim_pid" || status=$?
      fail "boxsim ended with status $status before it was ready: $(cat "$out.err")"
    fi
    sleep 0.1
  done
  kill -KILL "$boxsim_pid" 2>/dev/null || true
  fail "boxsim did not get ready in $boxsim_ready_seconds s: $(cat "$out.err")"
}

stop_boxsim() {
  local pid=$1 tries status=0 p kept=()
  for p in "${boxsim_pids[@]}"; do [ "$p" = "$pid" ] || kept+=("$p"); done
  boxsim_pids=("${kept[@]}")
  kill -INT "$pid" 2>/dev/null || true
  for ((tries = 100; tries > 0; tries--)); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$pid" 2>/dev/null; then
    kill -KILL "$pid" 2>/dev/null || true
    fail "boxsim did not end within 10 s of Ctrl-C"
  fi
  wait "$pid" || status=$?
  return "$status"
}

kill_boxsims() {
  local p
  for p in "${boxsim_pids[@]}"; do
    kill "$p" 2>/dev/null || true
    wait "$p" 2>/dev/null || true
  done
  boxsim_pids=()
}
