#!/usr/bin/env bash
# Builds the libFuzzer harnesses of fuzz/ with clang in build-fuzz/ and runs
# each on a fresh copy of its seed corpus (fuzz/corpus/<harness>/), so that
# nothing is written into the repository. Must run as root: the bridge's
# harnesses put their sockets into a private network namespace.
#
#   bash scripts/fuzz.sh --quick [harness...]   about 60 s per harness (the
#                                               test command runs this)
#   bash scripts/fuzz.sh --long [harness...]    10 million executions each
#
# FUZZ_TIME (seconds) and FUZZ_RUNS override the two bounds. Prints the
# executions run per harness and fails when any harness found a crash; the
# crashing inputs are kept in build-fuzz/fuzz-artifacts/<harness>/ (a
# crash that is fixed belongs in tests/regress/<harness>/).
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
build="$repo/build-fuzz"
HARNESSES=(fuzz_datagram fuzz_frame fuzz_switch_ctl fuzz_plug_reply)

mode=quick
case "${1:-}" in
--quick) shift ;;
--long) mode=long; shift ;;
-*) echo "usage: $0 [--quick|--long] [harness...]" >&2; exit 2 ;;
esac
[ $# -gt 0 ] && HARNESSES=("$@")

if [ "$mode" = quick ]; then
	bound=(-max_total_time="${FUZZ_TIME:-60}")
else
	bound=(-runs="${FUZZ_RUNS:-10000000}")
fi

CC=clang CXX=clang++ cmake -S . -B "$build" -DKRIX_FUZZ=ON -DKRIX_WERROR=ON \
	-DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target "${HARNESSES[@]}" -j"$(nproc)" >/dev/null

work=$(mktemp -d /tmp/krix_fuzz.XXXXXX)
pids=()
cleanup() {
	for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
	rm -rf "$work"
}
trap cleanup EXIT

# One harness: its own corpus copy and artifact folder; its output, the
# harness's own log lines dropped (-close_fd_mask), goes to a log file.
run_one() {
	local h=$1 dir="$work/$1"
	mkdir -p "$dir/corpus" "$dir/artifacts"
	cp "$repo/fuzz/corpus/$h/"* "$dir/corpus/"
	"$build/$h" "${bound[@]}" -close_fd_mask=3 -timeout=30 -print_final_stats=1 \
		-artifact_prefix="$dir/artifacts/" "$dir/corpus" >"$dir/log" 2>&1
}

# As many at once as there are processors.
jobs=$(nproc)
for h in "${HARNESSES[@]}"; do
	while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n || true; done
	run_one "$h" &
	pids+=($!)
	echo "fuzz: $h started ($mode)"
done

status=0
for i in "${!HARNESSES[@]}"; do
	h=${HARNESSES[$i]}
	rc=0
	wait "${pids[$i]}" || rc=$?
	log="$work/$h/log"
	execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
	secs=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$log" | tail -1)
	if [ "$rc" -eq 0 ]; then
		echo "fuzz: $h: ${execs:-?} executions in ${secs:-?} s [ OK ]"
	elif grep -q 'libFuzzer: run interrupted' "$log"; then
		status=1
		echo "fuzz: $h: interrupted after ${execs:-?} executions, nothing found [FAIL]"
	else
		status=1
		echo "fuzz: $h: crash after ${execs:-?} executions (exit $rc) [FAIL]"
		mkdir -p "$build/fuzz-artifacts/$h"
		cp "$work/$h/artifacts/"* "$build/fuzz-artifacts/$h/" 2>/dev/null || true
		grep -v '^#' "$log" | tail -40
		echo "fuzz: the input is in $build/fuzz-artifacts/$h/"
	fi
done
exit $status
