#!/usr/bin/env bash
# The Windows program: cross-builds logfetch.exe with MinGW-w64, runs the
# end-to-end suites on it under Wine against the native boxsim, and packs the
# zip. Uses the native build in build/ that scripts/test.sh makes first.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
started=$(date +%s)

fail() {
  echo "test-windows: FAILED: $*" >&2
  exit 1
}
# Seconds since the start, for the timing lines.
elapsed() { echo $(($(date +%s) - started)); }

bash scripts/install-deps.sh g++-mingw-w64-x86-64 wine
command -v wine >/dev/null || fail "wine is not installed"

# NATIVE_BUILD: the native build folder holding the end-to-end suites and boxsim.
native="${NATIVE_BUILD:-$root/build}"
e2e="$native/tests/e2e/e2e_test"
faults="$native/tests/faults/faults_test"
incremental="$native/tests/incremental/incremental_e2e_test"
for bin in "$e2e" "$faults" "$incremental"; do
  [ -x "$bin" ] || fail "$bin is missing: run scripts/test.sh (the native build) first"
done

# The cross build: the program only; tests, benchmarks and boxsim stay native.
cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build-win -j"$(nproc)" --target logfetch console_check
exe="$root/build-win/app/logfetch.exe"
[ -f "$exe" ] || fail "$exe was not built"
echo "test-windows: cross build done at $(elapsed) s"

# Only DLLs that every Windows has: no MinGW runtime may be left to ship.
dlls=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p' | sort -u)
echo "logfetch.exe imports:" $dlls
for dll in $dlls; do
  case "${dll,,}" in
    kernel32.dll | msvcrt.dll | ws2_32.dll | user32.dll | advapi32.dll) ;;
    *) fail "logfetch.exe needs $dll, which Windows does not ship" ;;
  esac
done

# A fresh Wine prefix of our own, quiet and without a display; the Mono and
# Gecko installers are switched off so that nothing asks a question.
tmp=$(mktemp -d)
export WINEPREFIX="$tmp/wine" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
cleanup() {
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

# The same end-to-end suites as the native run, each on a loopback net of its
# own (127.0.4.x, 127.0.6.x, 127.0.13.x) so they cannot meet a native run, in
# parallel shards: every test has its own box address, and most of the time goes to
# waiting for replies. Left out: the checks of the test helpers themselves (no
# logfetch in them) and what rests on POSIX devices Windows lacks.
[ "$(id -u)" -eq 0 ] || echo "test-windows: not root: tests that bind port 811 will skip" >&2
shards=4
run_suite() {  # binary, net, gtest filter
  local bin=$1 net=$2 filter=$3 name pids=() failed=0 i
  name=$(basename "$bin")
  echo "$name under Wine on 127.0.$net.x ($shards shards, filter $filter)"
  for ((i = 0; i < shards; i++)); do
    LOGFETCH_EXE="$exe" LOGFETCH_RUNNER=wine E2E_NET=$net GTEST_TOTAL_SHARDS=$shards \
      GTEST_SHARD_INDEX=$i "$bin" --gtest_filter="$filter" >"$tmp/$name.$i.log" 2>&1 &
    pids+=($!)
  done
  for ((i = 0; i < shards; i++)); do
    if wait "${pids[$i]}"; then
      grep -E '^\[ *(PASSED|SKIPPED|observed) *\]' "$tmp/$name.$i.log" || true
    else
      failed=1
      cat "$tmp/$name.$i.log"
    fi
  done
  [ "$failed" -eq 0 ] || fail "$name failed under Wine"
  echo "test-windows: $name done at $(elapsed) s"
}
run_suite "$e2e" 4 "-ExpectedReport.*:*Posix*"
run_suite "$faults" 6 "*"
# Scheduled collection: first and incremental runs, starting over, a damaged
# state file (Windows replaces and refuses files its own way).
run_suite "$incremental" 13 \
  "Incremental.FirstRunThenOnlyTheNewSamples:Incremental.OverwriteStartsOver:Incremental.DamagedStateFile"

# The hidden prompt's console side needs a real console: Wine gives one when
# started from a terminal, which script(1) provides. Exit status 0: passed.
check=$(script -qec "wine '$root/build-win/platform/console_check.exe'" /dev/null </dev/null) ||
  fail "$(sed 's/\x1b\[?25[hl]//g; s/\x1b\[[0-9;]*[A-Za-z]/ /g' <<<"$check" | tr -s ' ')"
echo "test-windows: console check passed"

# The zip users download: the program, the README and the sample box files.
(cd build-win && cpack -G ZIP) || fail "cpack could not pack the zip"
zip=$(ls -t build-win/logfetch-*-win64.zip | head -n 1)
listing=$(cmake -E tar tf "$zip")
for want in logfetch.exe README.md examples/; do
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

echo "test-windows: the Windows part took $(elapsed) s"
