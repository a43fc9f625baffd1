#!/usr/bin/env bash
# Builds the benchmarks in Release (build-bench) and runs them: the whole
# walk of a full box against the bare UDP exchange, write_data against one
# fwrite, the walk's memory, and zone_convert against localtime_r. The
# download and memory benchmarks start boxsim on 127.0.8.x:811, so they need
# root. push_bench also starts influxd and prometheus on 127.0.10.1/2 (ports
# 8086, 9090) and times pushes to them against curl. Extra arguments go to every
# benchmark binary (e.g. --benchmark_filter=cpus:2).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
is_root || echo "$script_name: not root: the benchmarks that start boxsim will fail" >&2

bash scripts/install-deps.sh cmake g++ make libbenchmark-dev libtomlplusplus-dev libcurl4-openssl-dev libsnappy-dev \
  curl time influxdb prometheus
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DLOGFETCH_TESTS=OFF
cmake --build build-bench -j"$(nproc)" --target download_bench report_bench memory_bench zone_bench \
  scheduled_bench history_bench site_bench push_bench

uname -srm
grep -m1 "model name" /proc/cpuinfo || true
echo "CPUs: $(nproc)"
for b in download_bench report_bench memory_bench zone_bench scheduled_bench history_bench site_bench push_bench; do
  echo
  "build-bench/bench/$b" "$@"
done
