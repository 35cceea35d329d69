#!/bin/bash
# The VXLAN benchmark: krix_vxlan (A) against the bare relay of the same
# I/O model (B, the floor) and against the kernel's own path (C), on the
# same switch with the same traffic programs, in private namespaces.
#
#   host 1 (198.18.0.1), underlay MTU 1600         host 2 (198.18.0.2)
#
#   gen plug ---+                                    vxlan_traffic sink
#   count plug -+- krix_switch -+- A: krix_vxlan  \  (forward: counts)
#                               +- B: vxlan_relay  +- u0 -- hub -- u0
#                               +- tap0 -- brk -- vx0 (C: kernel VXLAN)
#                                                    vxlan_traffic send
#                                                    (reverse: sends)
#
# Forward: gen -> switch -> relay -> underlay -> sink, frames addressed to
# the peer's MAC, which the relay has learned from the sink's announcement.
# Reverse: send -> relay -> switch -> count, frames addressed to the count
# plug's MAC, which the switch and the relay learned from its announcement.
# Only one of A, B and C holds the VXLAN port at a time; vx0 is up only
# during the C runs.
#
# Usage (as root, from anywhere): bash bench/vxlan/run.sh
# Knobs: SECS (per run, default 2), REPS (default 3), SIZES ("64 512 1500"),
# RATE (the fixed offered load in frames/s, default 20000), SWEEP_SIZES
# ("64"), SWEEP_STEPS (6), SWEEP_SECS (1) and SWEEP_MAX (160000) for the
# search of the highest loss-free rate, QUICK=1 (one repetition, 1 s runs,
# 3 search steps, no profile: for trying the harness out), PARTS (any of
# "runs sweep heap idle profile", default all).
# Results: bench/vxlan/results/{table.md,summary.tsv,raw.tsv,fps.png,...}

set -u
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
ROOT=$(cd "$HERE/../.." && pwd)
BUILD=${BUILD:-$ROOT/build-bench}
OUT=${OUT:-$HERE/results}
SECS=${SECS:-2}
REPS=${REPS:-3}
SIZES=${SIZES:-64 512 1500}
RATE=${RATE:-20000}
SWEEP_SIZES=${SWEEP_SIZES:-64}
SWEEP_STEPS=${SWEEP_STEPS:-6}
SWEEP_SECS=${SWEEP_SECS:-1}
SWEEP_MAX=${SWEEP_MAX:-160000}
QUICK=${QUICK:-0}
PARTS=${PARTS:-runs sweep heap idle profile}
if [ "$QUICK" = 1 ]; then SECS=1; REPS=1; SWEEP_STEPS=3; PARTS=${PARTS/profile/}; fi
part() { [[ " $PARTS " == *" $1 "* ]]; }

MAC_GEN=02:00:00:00:01:01   # the generator plug
MAC_LOC=02:00:00:00:01:02   # the count plug, behind the switch
MAC_PEER=02:00:00:00:02:01  # the far end, behind host 2

say() { printf '%s %s\n' "$(date +%T)" "$*" >&2; }

# --- build and tools ------------------------------------------------------
say "building Release in $BUILD"
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_FLAGS=-g -DCMAKE_CXX_FLAGS=-g \
	>/dev/null || exit 1
cmake --build "$BUILD" -j"$(nproc)" --target krix_vxlan krix_switch krixplug vxlan_relay \
	vxlan_traffic vxlan_malloc_count >/dev/null || exit 1
need=()
command -v gnuplot >/dev/null || need+=(gnuplot-nox)
command -v valgrind >/dev/null || need+=(valgrind)
command -v perf >/dev/null || need+=(linux-perf)
if [ ${#need[@]} -gt 0 ]; then
	say "installing ${need[*]}"
	DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${need[@]}" >/dev/null 2>&1 ||
		{ DEBIAN_FRONTEND=noninteractive apt-get update -q >/dev/null 2>&1 &&
		  DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${need[@]}" >/dev/null 2>&1; } ||
		{ echo "run.sh: could not install ${need[*]}" >&2; exit 1; }
fi

source "$ROOT"/tests/e2e/lib.sh
kx_require ip python3
trap kx_cleanup EXIT
trap 'exit 1' INT TERM
mkdir -p "$OUT"
TRAFFIC=$BUILD/vxlan_traffic
NS1=$(kx_ns 1)
NS2=$(kx_ns 2)
SW=$KX_TMP/sw1

# --- the machine, before we load it ----------------------------------------
{
	echo "date	$(date -u '+%Y-%m-%d %H:%M UTC')"
	echo "cpu	$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //')"
	echo "nproc	$(nproc)"
	echo "kernel	$(uname -r)"
	echo "load_before	$(cut -d' ' -f1-3 /proc/loadavg)"
	echo "secs	$SECS"
	echo "reps	$REPS"
	echo "rate	$RATE"
	echo "sweep	$SWEEP_STEPS steps of $SWEEP_SECS s between $RATE and $SWEEP_MAX frames/s"
	echo "commit	$(git -C "$ROOT" rev-parse --short HEAD 2>/dev/null)"
} >"$OUT/machine.tsv"

# --- namespaces -------------------------------------------------------------
say "setting up namespaces ($KX_RUN)"
kx_hub_up
kx_host_add 1 1600
kx_host_add 2 1600
# Bridges here must not hand frames to the firewall: that costs the same
# in every configuration and only blurs the differences. Per namespace.
for ns in "$KX_HUB" "$NS1"; do
	ip netns exec "$ns" sh -c 'for f in /proc/sys/net/bridge/bridge-nf-call-*; do
		[ -w "$f" ] && echo 0 >"$f"; done' 2>/dev/null
done
kx_exec 1 "$BUILD"/krix_switch -s "$SW" -t tap0 >"$KX_TMP/switch.log" 2>&1 &
SWITCH_PID=$!
KX_PIDS+=("$SWITCH_PID")
kx_wait 10 test -S "$SW"/ctl || { echo "switch did not start"; cat "$KX_TMP/switch.log"; exit 1; }
ip -n "$NS1" link add brk type bridge
ip -n "$NS1" link set tap0 master brk
ip -n "$NS1" link add vx0 type vxlan id "$KX_VNI" group "$KX_GROUP" dstport "$KX_PORT" dev u0 ttl 1
ip -n "$NS1" link set vx0 mtu 1500 master brk
ip -n "$NS1" link set tap0 up
ip -n "$NS1" link set brk up

# --- measuring ---------------------------------------------------------------

# proc_cpu PID: "ticks ns waits", utime+stime in clock ticks, the
# scheduler's nanosecond count of time on a CPU, and the number of times
# the process went to sleep (voluntary context switches); "0 0 0" without
# a PID.
proc_cpu()
{
	local pid=$1 stat
	[ -n "$pid" ] || { echo "0 0 0"; return; }
	stat=$(cat /proc/"$pid"/stat)
	stat=${stat##*) }
	set -- $stat
	echo "$((${12} + ${13})) $(cut -d' ' -f1 /proc/"$pid"/schedstat)" \
		"$(awk '/^voluntary_ctxt_switches/ { print $2 }' /proc/"$pid"/status)"
}

# udp_counters: "InDatagrams OutDatagrams RcvbufErrors" of host 1.
udp_counters()
{
	ip netns exec "$NS1" awk '/^Udp:/ { if (!h) { for (i = 2; i <= NF; i++) c[$i] = i; h = 1 }
		else print $c["InDatagrams"], $c["OutDatagrams"], $c["RcvbufErrors"] }' /proc/net/snmp
}

# snapshot RELAY_PID: relay ticks and ns, switch ns, host 1's UDP counters,
# relay and switch sleeps.
snapshot()
{
	local r s
	r=($(proc_cpu "$1"))
	s=($(proc_cpu "$SWITCH_PID"))
	echo "${r[0]} ${r[1]} ${s[1]} $(udp_counters) ${r[2]} ${s[2]}"
}

# start_bg NAME HOST COMMAND...: a helper process whose stdout goes to
# $KX_TMP/NAME.out; waits for it to say "ready" when it does.
start_bg()
{
	local name=$1 host=$2
	shift 2
	kx_exec "$host" "$@" >"$KX_TMP/$name.out" 2>"$KX_TMP/$name.err" &
	KX_PIDS+=($!)
	eval "BG_$name=$!"
}

wait_ready()
{
	kx_wait 10 grep -q ready "$KX_TMP/$1.out" ||
		{ echo "$1 did not start:"; cat "$KX_TMP/$1.err"; return 1; }
}

# stop_bg NAME: SIGTERM, then the count it printed.
stop_bg()
{
	local pid
	eval "pid=\$BG_$1"
	kx_stop "$pid"
	awk '/^got/ { print $2 }' "$KX_TMP/$1.out"
}

# relay_up VARIANT [PRELOAD-ENV...]: brings up A, B or C and sets RELAY_PID
# (empty for C, whose work happens in the kernel).
relay_up()
{
	local v=$1
	shift
	RELAY_PID=
	case $v in
	A)
		kx_exec 1 env "$@" "$BUILD"/krix_vxlan -s "$SW" -I "$KX_VNI" -A "$KX_GROUP" -P "$KX_PORT" \
			>"$KX_TMP/relay.log" 2>&1 &
		RELAY_PID=$! ;;
	B)
		kx_exec 1 "$BUILD"/vxlan_relay -s "$SW" -I "$KX_VNI" -A "$KX_GROUP" -P "$KX_PORT" \
			-D 198.18.0.2 >"$KX_TMP/relay.log" 2>&1 &
		RELAY_PID=$! ;;
	C)
		ip -n "$NS1" link set vx0 up ;;
	esac
	[ -n "$RELAY_PID" ] && KX_PIDS+=("$RELAY_PID")
	kx_wait 10 kx_joined 1 || { echo "relay $v did not join"; cat "$KX_TMP/relay.log"; return 1; }
}

relay_down()
{
	if [ -n "$RELAY_PID" ]; then
		kx_stop "$RELAY_PID"
		# The switch logs the port's counters when it sees the plug go.
		kx_wait 5 grep -q "pid $RELAY_PID) detached" "$KX_TMP/switch.log"
	else
		ip -n "$NS1" link set vx0 down
	fi
	kx_wait 5 eval '! kx_joined 1'
}

# ends_up: the far end's sink and the local count plug, each announcing its
# MAC address, so that every relay has learned both before traffic starts.
ends_up()
{
	start_bg count 1 "$TRAFFIC" count -s "$SW" -S "$MAC_LOC"
	wait_ready count || return 1
	start_bg sink 2 "$TRAFFIC" sink -A "$KX_GROUP" -P "$KX_PORT" -I "$KX_VNI" -S "$MAC_PEER" \
		-F "$MAC_GEN"
	wait_ready sink || return 1
	# Time for both announcements to cross the relay.
	sleep 0.3
}

# drive DIR SIZE RATE [SECONDS]: the generator of direction DIR; prints
# "sent N SECONDS".
drive()
{
	local rate=$3 secs=${4:-$SECS}
	if [ "$1" = fwd ]; then
		ip netns exec "$NS1" timeout 30 "$TRAFFIC" gen -s "$SW" -n "$2" -t "$secs" \
			-r "$rate" -S "$MAC_GEN" -d "$MAC_PEER"
	else
		ip netns exec "$NS2" timeout 30 "$TRAFFIC" send -D 198.18.0.1 -P "$KX_PORT" \
			-I "$KX_VNI" -n "$2" -t "$secs" -r "$rate" -S "$MAC_PEER" -d "$MAC_LOC"
	fi
}

# measure VARIANT DIR SIZE RATE SECONDS: one run of the generator of DIR
# at RATE (0 = its maximum) through VARIANT. Sets M_SENT, M_SECS, M_GOT_SINK,
# M_GOT_COUNT, M_BEFORE, M_AFTER and M_PORT (the switch's counters of the
# relay's port: "rx tx dropped").
measure()
{
	local v=$1 dir=$2 size=$3 rate=$4 secs=$5 swline
	relay_up "$v" || return 1
	ends_up || return 1
	M_BEFORE=$(snapshot "$RELAY_PID")
	read -r M_SENT M_SECS < <(drive "$dir" "$size" "$rate" "$secs" | awk '/^sent/ { print $2, $3 }')
	# Frames still in buffers when the generator stops are let through.
	sleep 0.3
	M_AFTER=$(snapshot "$RELAY_PID")
	M_GOT_SINK=$(stop_bg sink)
	M_GOT_COUNT=$(stop_bg count)
	relay_down
	swline=$(grep "pid ${RELAY_PID:-none}) detached" "$KX_TMP/switch.log" | tail -n1)
	M_PORT=$(echo "$swline" | sed -n 's/.*rx \([0-9]*\) tx \([0-9]*\) dropped \([0-9]*\).*/\1 \2 \3/p')
}

# run_one VARIANT DIR SIZE LOAD REP: one measured run; appends a row to raw.tsv.
run_one()
{
	local v=$1 dir=$2 size=$3 load=$4 rep=$5 rate=0
	[ "$load" = fixed ] && rate=$RATE
	measure "$v" "$dir" "$size" "$rate" "$SECS" || return 1
	printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$v" "$dir" "$size" "$load" "$rep" \
		"${M_SENT:-0}" "${M_SECS:-0}" "${M_GOT_SINK:-0}" "${M_GOT_COUNT:-0}" "$M_BEFORE" "$M_AFTER" \
		"$M_PORT" >>"$OUT/raw.tsv"
}

if part runs; then
printf 'variant\tdir\tsize\tload\trep\tsent\tsecs\tgot_sink\tgot_count\tbefore\tafter\tswitch_port\n' \
	>"$OUT/raw.tsv"
total=$((REPS * 2 * $(echo $SIZES | wc -w) * 2 * 3))
n=0
for rep in $(seq 1 "$REPS"); do
	for dir in fwd rev; do
		for size in $SIZES; do
			for load in max fixed; do
				for v in A B C; do
					n=$((n + 1))
					say "[$n/$total] rep $rep $dir $size bytes, $load load, $v"
					run_one "$v" "$dir" "$size" "$load" "$rep" || exit 1
				done
			done
		done
	done
done
fi

# --- the highest loss-free rate ----------------------------------------------
# At the generator's maximum, a configuration with a process more than
# another also shares the CPUs with a generator that runs flat out, and
# frames dropped at a full channel were paid for first. The fairer figure is
# the highest paced rate each one carries: a geometric bisection between
# RATE (assumed carried) and SWEEP_MAX, SWEEP_STEPS short runs each, A, B
# and C taking turns at every step. A step passes when the generator kept
# up (97% of the rate sent) and less than 1% of what it sent was lost.
sweep_step()
{
	local v=$1 dir=$2 size=$3 step=$4 rate=$5 got pass=0
	measure "$v" "$dir" "$size" "$rate" "$SWEEP_SECS" || return 1
	[ "$dir" = fwd ] && got=${M_GOT_SINK:-0} || got=${M_GOT_COUNT:-0}
	awk -v s="${M_SENT:-0}" -v t="${M_SECS:-0}" -v g="$got" -v r="$rate" \
		'BEGIN { exit !(t > 0 && s >= 0.97 * r * t && s - g < 0.01 * s) }' && pass=1
	printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$v" "$dir" "$size" "$step" "$rate" \
		"${M_SENT:-0}" "${M_SECS:-0}" "$got" "$pass" >>"$OUT/sweep.tsv"
	return $((1 - pass))
}
if part sweep; then
	printf 'variant\tdir\tsize\tstep\trate\tsent\tsecs\tgot\tpass\n' >"$OUT/sweep.tsv"
	for dir in fwd rev; do
		for size in $SWEEP_SIZES; do
			declare -A lo hi
			for v in A B C; do lo[$v]=$RATE; hi[$v]=$SWEEP_MAX; done
			for step in $(seq 1 "$SWEEP_STEPS"); do
				for v in A B C; do
					rate=$(awk -v a="${lo[$v]}" -v b="${hi[$v]}" 'BEGIN { printf "%d", sqrt(a * b) }')
					say "loss-free rate, $dir $size bytes, step $step/$SWEEP_STEPS, $v at $rate/s"
					if sweep_step "$v" "$dir" "$size" "$step" "$rate"; then
						lo[$v]=$rate
					else
						hi[$v]=$rate
					fi
				done
			done
		done
	done
fi
echo "load_after	$(cut -d' ' -f1-3 /proc/loadavg)" >>"$OUT/machine.tsv"

# --- heap calls per frame in steady state ----------------------------------
# A under the counting shim, fixed load both ways. A short burst first lets
# the bridge learn the generator's address (one table entry, allocated
# once); the counts are then read right around the measured traffic.
heap_run()
{
	local dir=$1 file=$KX_TMP/heap.$1 c0 c1 sent
	relay_up A KRIX_MALLOC_COUNT="$file" LD_PRELOAD="$BUILD"/libvxlan_malloc_count.so || return 1
	ends_up || return 1
	drive "$dir" 64 1000 0.2 >/dev/null
	sleep 0.2
	c0=$(od -An -t u8 -v "$file" | tr -s ' \n' ' ')
	read -r sent _ < <(drive "$dir" 64 "$RATE" | awk '/^sent/ { print $2, $3 }')
	sleep 0.3
	c1=$(od -An -t u8 -v "$file" | tr -s ' \n' ' ')
	stop_bg sink >/dev/null
	stop_bg count >/dev/null
	relay_down
	printf '%s\t%s\t%s\t%s\n' "$dir" "$sent" "$c0" "$c1" >>"$OUT/heap.tsv"
}
if part heap; then
	say "heap calls under the counting shim"
	printf 'dir\tsent\tcounts_before\tcounts_after\n' >"$OUT/heap.tsv"
	heap_run fwd || exit 1
	heap_run rev || exit 1
fi

# --- wakeups when idle -----------------------------------------------------
ctxt() { awk "/^$1_ctxt_switches/ { print \$2 }" /proc/"$RELAY_PID"/status; }
if part idle; then
	say "idle wakeups of A over 10 s"
	relay_up A || exit 1
	sleep 1
	w0=$(ctxt voluntary) n0=$(ctxt nonvoluntary)
	sleep 10
	w1=$(ctxt voluntary) n1=$(ctxt nonvoluntary)
	relay_down
	printf 'seconds\tvoluntary\tnonvoluntary\n10\t%s\t%s\n' $((w1 - w0)) $((n1 - n0)) >"$OUT/idle.tsv"
fi

# --- profile: user-space instructions per frame under callgrind -------------
# The counters are zeroed once the relay has learned both ends and dumped
# right after the traffic, so only the steady state is in the profile.
profile_run()
{
	local v=$1 dir=$2 bin out=$OUT/callgrind.$1.$2 sent got
	case $v in
	A) bin=("$BUILD"/krix_vxlan -s "$SW" -I "$KX_VNI" -A "$KX_GROUP" -P "$KX_PORT") ;;
	B) bin=("$BUILD"/vxlan_relay -s "$SW" -I "$KX_VNI" -A "$KX_GROUP" -P "$KX_PORT" -D 198.18.0.2) ;;
	esac
	kx_exec 1 valgrind --tool=callgrind --callgrind-out-file="$out" "${bin[@]}" \
		>"$KX_TMP/relay.log" 2>&1 &
	RELAY_PID=$!
	KX_PIDS+=("$RELAY_PID")
	kx_wait 30 kx_joined 1 || { echo "relay $v under callgrind did not join"; cat "$KX_TMP/relay.log"; return 1; }
	ends_up || return 1
	drive "$dir" 64 1000 0.2 >/dev/null
	sleep 1
	callgrind_control -z "$RELAY_PID" >/dev/null
	read -r sent _ < <(drive "$dir" 64 "$PROFILE_RATE" | awk '/^sent/ { print $2, $3 }')
	sleep 0.5
	callgrind_control -d "$RELAY_PID" >/dev/null
	got=$(stop_bg sink)
	[ "$dir" = rev ] && got=$(stop_bg count) || stop_bg count >/dev/null
	relay_down
	# Keep the steady-state dump, not the one callgrind writes at exit.
	mv "$out".1 "$out"
	printf '%s\t%s\t%s\t%s\t%s\n' "$v" "$dir" "$sent" "$got" "$out" >>"$OUT/profile.tsv"
}
# perf_run VARIANT DIR: where the relay's time goes, kernel included, from
# the CPU clock sampled during a native run at the fixed load.
perf_run()
{
	local v=$1 dir=$2 data=$KX_TMP/perf.data perf_pid
	relay_up "$v" || return 1
	ends_up || return 1
	drive "$dir" 64 1000 0.2 >/dev/null
	perf record -q -e cpu-clock -F 4999 -p "$RELAY_PID" -o "$data" 2>/dev/null &
	perf_pid=$!
	KX_PIDS+=("$perf_pid")
	sleep 0.5
	drive "$dir" 64 "$RATE" >/dev/null
	kill -INT "$perf_pid"
	kx_wait_exit 20 "$perf_pid"
	stop_bg sink >/dev/null
	stop_bg count >/dev/null
	relay_down
	perf report -i "$data" --no-children --sort sym --stdio 2>/dev/null | grep -v '^#' |
		grep -v '^$' >"$KX_TMP/perf.txt"
	{
		awk '$2 == "[.]" { u += $1 } $2 == "[k]" { k += $1 }
			END { printf "user space %.1f%%, kernel %.1f%%\n", u, k }' "$KX_TMP/perf.txt"
		head -n 14 "$KX_TMP/perf.txt"
		echo "top user-space symbols:"
		grep -F '[.]' "$KX_TMP/perf.txt" | head -n 6
	} >"$OUT/perf.$v.$dir.txt"
}
PROFILE_RATE=${PROFILE_RATE:-5000}
if part profile; then
	printf 'variant\tdir\tsent\tgot\tfile\n' >"$OUT/profile.tsv"
	say "profiling A and B under callgrind at $PROFILE_RATE frames/s"
	rm -f "$OUT"/callgrind.*
	for dir in fwd rev; do
		profile_run A "$dir" || exit 1
		profile_run B "$dir" || exit 1
		if perf stat -e cpu-clock true >/dev/null 2>&1; then
			perf_run A "$dir" || exit 1
			perf_run B "$dir" || exit 1
		fi
	done
fi

say "writing the report"
python3 "$HERE"/report.py "$OUT" || exit 1
gnuplot "$OUT/fps.gp" || exit 1
cat "$OUT/table.md"
