#!/usr/bin/env bash
# Installs what the build needs (when run as root), builds, and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh cmake g++ make libgtest-dev libgmock-dev libbenchmark-dev \
  libtomlplusplus-dev libcurl4-openssl-dev libsnappy-dev curl python3 iproute2 prometheus \
  influxdb influxdb-client victoria-metrics

jobs=$(nproc)
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$jobs"
# Most of the suites' time is spent waiting on silent boxes and late
# replies: more tests run at once than there are processors.
ctest --test-dir build --output-on-failure -j"$((jobs * 4))"
bash scripts/test-browser.sh
bash scripts/test-windows.sh
bash scripts/test-sanitize.sh
bash scripts/test-fuzz.sh
bash scripts/test-package.sh
