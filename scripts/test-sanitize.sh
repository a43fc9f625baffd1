#!/usr/bin/env bash
# The unit and end-to-end suites again, built with AddressSanitizer and
# UndefinedBehaviorSanitizer in build-asan; the suites that run walks on
# threads (site runs, the outputs of two walks, the zone engines) built with
# ThreadSanitizer in build-tsan; then one whole walk of the sample
# box under valgrind memcheck, which must find no error and no leak.
# The valgrind walk uses the plain logfetch of $LOGFETCH_PLAIN_BUILD (default
# build/, which scripts/test.sh makes first); it is built there when missing.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
started=$(date +%s)
. scripts/lib.sh

bash scripts/install-deps.sh valgrind

# -Og -g1: a third of -O2 -g's compile time, and line numbers in the reports.
optimize=(-DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-Og -g1 -DNDEBUG")
flags="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
cmake -S . -B build-asan "${optimize[@]}" -DLOGFETCH_BENCH=OFF \
  -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags"
cmake --build build-asan -j"$(nproc)"
# halt_on_error: a report fails the test that caused it, child processes too.
export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
# The kill test's 230 runs and the stores' and checks' shell suites drive the
# same code the other suites run here; natively they run in full. Most of
# the suites' time is spent waiting on silent boxes: more run at once than
# there are processors.
ctest --test-dir build-asan --output-on-failure -j8 -E '^(KilledRun\.|stores_push$|check_e2e$|nagios_e2e$)' ||
  fail "a suite failed under the sanitizers"
unset ASAN_OPTIONS UBSAN_OPTIONS
echo "Sanitizer suites took $(($(date +%s) - started)) s"

# Site runs walk boxes on threads: those suites again under ThreadSanitizer.
tsan="-fsanitize=thread -fno-omit-frame-pointer"
cmake -S . -B build-tsan "${optimize[@]}" -DLOGFETCH_BENCH=OFF \
  -DCMAKE_CXX_FLAGS="$tsan" -DCMAKE_EXE_LINKER_FLAGS="$tsan"
cmake --build build-tsan -j"$(nproc)" --target app_test zonetime_test report_test site_e2e_test
# A report ends the process that made it (logfetch's own status then fails
# the end-to-end test that ran it).
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"
build-tsan/app/app_test --gtest_filter='SiteRun*:SiteFile*' ||
  fail "the site runner failed under ThreadSanitizer"
build-tsan/zonetime/zonetime_test --gtest_filter='ZoneTime.Engines*' ||
  fail "the zone engines failed under ThreadSanitizer"
build-tsan/report/report_test --gtest_filter='TwoWalks*' ||
  fail "two walks' outputs failed under ThreadSanitizer"
E2E_NET=21 build-tsan/tests/site/site_e2e_test ||
  fail "site runs failed under ThreadSanitizer"
unset TSAN_OPTIONS
echo "ThreadSanitizer suites done at $(($(date +%s) - started)) s"

# One whole walk under memcheck: the sample box, zone time, the password
# prompt answered through standard input.
plain="$root/${LOGFETCH_PLAIN_BUILD:-build}"
if [ ! -x "$plain/app/logfetch" ] || [ ! -x "$plain/boxsim/boxsim" ]; then
  cmake -S . -B "$plain" -DCMAKE_BUILD_TYPE=RelWithDebInfo
  cmake --build "$plain" -j"$(nproc)" --target logfetch boxsim
fi
addr=127.0.5.250
tmp=$(mktemp -d)
trap 'kill_boxsims; rm -rf "$tmp"' EXIT

start_boxsim "$tmp/boxsim" 1 "$plain/boxsim/boxsim" --addr "$addr" --max-seconds 600 examples/demo.box

mkdir "$tmp/run"
set +e
(cd "$tmp/run" && echo public | valgrind --tool=memcheck --error-exitcode=99 --leak-check=full \
  --errors-for-leak-kinds=definite,indirect --show-leak-kinds=definite,indirect \
  --log-file="$tmp/memcheck.log" "$plain/app/logfetch" -i "$addr" -t >"$tmp/walk.out")
status=$?
set -e
cat "$tmp/memcheck.log"
[ "$status" -eq 0 ] || fail "logfetch under memcheck ended with status $status"
grep -q "ERROR SUMMARY: 0 errors" "$tmp/memcheck.log" || fail "memcheck found errors"
cat "$tmp/walk.out"
reports=$(find "$tmp/run" -name '*.txt' | wc -l)
saved=$(grep -o "Saving data to" "$tmp/walk.out" | wc -l)
[ "$reports" -gt 0 ] && [ "$reports" -eq "$saved" ] ||
  fail "the walk under memcheck wrote $reports reports for $saved sensors"
! grep -q "reply !" "$tmp/walk.out" || fail "the walk under memcheck lost the box"
echo "memcheck: whole walk, $reports reports, no error, no leak"
echo "Sanitizer script took $(($(date +%s) - started)) s"
