#!/usr/bin/env bash
# Runs every test: installs what is missing, then builds and tests twice,
# plainly and under AddressSanitizer, UndefinedBehaviorSanitizer and
# LeakSanitizer, then runs the fuzzers for a while. Must run as root (the
# network tests make namespaces).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh

jobs=$(nproc)
status=0
passed=0
failed=0

# Adds what ctest's closing line in log counted to the totals.
count_ctest() {
	local line total bad
	line=$(grep -E '[0-9]+ tests failed out of [0-9]+' "$1" | tail -n 1)
	total=$(echo "$line" | sed -E 's/.* out of ([0-9]+).*/\1/')
	bad=$(echo "$line" | sed -E 's/.* ([0-9]+) tests failed out of.*/\1/')
	passed=$((passed + ${total:-0} - ${bad:-0}))
	failed=$((failed + ${bad:-1}))
}

run_suite() {
	local dir=$1; shift
	cmake -S . -B "$dir" -DKRIX_WERROR=ON "$@" >/dev/null
	cmake --build "$dir" -j"$jobs"
	(cd "$dir" && ctest --output-on-failure --timeout 600) 2>&1 | tee "$dir/ctest.log" || status=1
	count_ctest "$dir/ctest.log"
}

echo "== plain build =="
run_suite build -DCMAKE_BUILD_TYPE=RelWithDebInfo
echo "== sanitizer build =="
run_suite build-asan -DCMAKE_BUILD_TYPE=Debug -DKRIX_SANITIZE=ON

# The fuzzers run once, on their own clang build, for a bounded time each.
echo "== fuzzing =="
bash scripts/fuzz.sh --quick 2>&1 | tee build/fuzz.log || status=1
passed=$((passed + $(grep -c '\[ OK \]$' build/fuzz.log || true)))
failed=$((failed + $(grep -c '\[FAIL\]$' build/fuzz.log || true)))

echo
echo "all: $passed passed, $failed failed"
[ "$failed" -eq 0 ] || status=1
exit $status
