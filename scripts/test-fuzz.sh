#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz and runs each one for
# a bounded time from its seed corpus (fuzz/corpus/TARGET). A crash, a failed
# check or a sanitizer report fails the script; the input that caused it is
# kept as build-fuzz/artifacts/TARGET-crash-*. FUZZ_SECONDS sets the time per
# target (default 20). The targets run in a scratch folder, as options_fuzz
# writes report files where it runs.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
. scripts/lib.sh
started=$(date +%s)
seconds=${FUZZ_SECONDS:-20}
targets=(status_reply_fuzz data_reply_fuzz options_fuzz)

bash scripts/install-deps.sh clang libclang-rt-14-dev
cxx=$(command -v clang++ || command -v clang++-14)

# -O1 -g1: quicker to build than -O2 -g, and still line numbers in a crash's stack.
cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG" \
  -DLOGFETCH_FUZZ=ON -DLOGFETCH_TESTS=OFF -DLOGFETCH_BENCH=OFF -DLOGFETCH_BOXSIM=OFF
cmake --build build-fuzz -j"$(nproc)" --target "${targets[@]}"

mkdir -p build-fuzz/artifacts
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failed=0
for t in "${targets[@]}"; do
  # New inputs go to a scratch folder; the seeds in the repo stay as they are.
  found="$scratch/$t-found"
  mkdir "$found" "$scratch/$t"
  log=$root/build-fuzz/artifacts/$t.log
  if (cd "$scratch/$t" && "$root/build-fuzz/fuzz/$t" -max_total_time="$seconds" -timeout=10 \
    -print_final_stats=1 -artifact_prefix="$root/build-fuzz/artifacts/$t-" "$found" \
    "$root/fuzz/corpus/$t") >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "fuzz $t: ${runs:-?} executions in ${seconds} s, no failure"
  else
    echo "fuzz $t: FAILED" >&2
    tail -n 60 "$log" >&2
    failed=1
  fi
  rm -rf "$found" "${scratch:?}/$t"
done
echo "Fuzzing took $(($(date +%s) - started)) s"
[ "$failed" -eq 0 ] || fail "a fuzz target failed"
