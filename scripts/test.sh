#!/usr/bin/env bash
# Runs every test: installs what is missing, then builds and tests twice,
# plainly and under AddressSanitizer, UndefinedBehaviorSanitizer and
# LeakSanitizer, then runs the fuzzers for a while. Must run as root (the network tests make namespaces).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh

jobs=$(nproc)
status=0

run_suite() {
	local dir=$1; shift
	cmake -S . -B "$dir" -DKRIX_WERROR=ON "$@" >/dev/null
	cmake --build "$dir" -j"$jobs"
	(cd "$dir" && ctest --output-on-failure --timeout 600) || status=1
}

echo "== plain build =="
run_suite build -DCMAKE_BUILD_TYPE=RelWithDebInfo
echo "== sanitizer build =="
run_suite build-asan -DCMAKE_BUILD_TYPE=Debug -DKRIX_SANITIZE=ON

# The fuzzers run once, on their own clang build, for a bounded time each.
if [ -f scripts/fuzz.sh ]; then
	echo "== fuzzing =="
	bash scripts/fuzz.sh --quick || status=1
fi

exit $status
