#!/usr/bin/env bash
# Soak: for 20 s, frames with random source addresses reach bridge 1 from
# both sides, while host 2 pings host 1 through it five times a second for
# the whole run. Every one of those addresses makes a table entry; once they
# have all been silent for more than 100 s a sweep frees them, and the
# bridge's resident memory must come back down near where it started.
#
#   host 1                         host 2                    host 3
#   tap0 192.0.2.1                 tap0 192.0.2.2 (pings)    (no bridge)
#    krix_switch + plugs flood,     krix_switch               hard_traffic udp:
#                    rx1            krix_vxlan                random inner
#    krix_vxlan (no -v)                                       sources, unicast
#   u0 198.18.0.1                  u0 198.18.0.2             u0 198.18.0.3
#    |                              |                         |
#    +--------------------- br0 in the hub -------------------+
#                 group 239.1.1.1, port 4879, VNI 42
#
# The floods are paced at HX_SOAK_RATE frames per second each (1500 by
# default; 0 sends as fast as the machine allows, at the lowest priority).
# The table has a fixed 128 buckets, so the cost of a frame grows with the
# number of entries; unpaced, on two cores shared with the floods, the
# bridge falls behind, its queues fill and most pings are lost until the
# flood ends. Paced, it keeps up and the ping must too.
#
# The allocator: glibc keeps small freed blocks on its per-thread and fast
# lists for reuse and gives none of them back, so after the sweep the
# bridge's memory would stay at its peak although every entry is freed.
# For the memory to show, the bridge runs with those lists turned off
# (GLIBC_TUNABLES), in this test only; under AddressSanitizer, with no
# quarantine and a prompt release of free pages. A probe address, the last
# one learned, shows from the outside that the entries are gone.
#
# Usage: soak.sh BUILD_DIR
set -u
BUILD=$(cd "${1:?usage: $0 BUILD_DIR}" && pwd)
. "$(dirname "$0")"/hlib.sh
trap kx_cleanup EXIT
trap "exit 1" INT TERM
kx_require ip ping

RATE=${HX_SOAK_RATE:-1500}
FLOOD_SECS=20
EXPIRE_SECS=100
PROBE=02:50:0b:e0:00:01
PROBE_HEX=$(hx_hex $PROBE)

kx_hub_up
for i in 1 2 3; do kx_host_add "$i"; done
kx_switch_up 1 || exit 1
GLIBC_TUNABLES=glibc.malloc.tcache_count=0:glibc.malloc.mxfast=0 \
	ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}quarantine_size_mb=0:thread_local_quarantine_size_kb=0:allocator_release_to_os_interval_ms=500 \
	hx_quiet_bridge_up 1 || exit 1
kx_switch_up 2 && hx_quiet_bridge_up 2 || exit 1
bridge=$KX_BRIDGE_PID_1
kx_ping 2 1 || { echo "no ping through the bridges"; exit 1; }

ip netns exec "$(kx_ns 2)" ping -D -i 0.2 -W 2 192.0.2.1 >"$KX_TMP/ping.out" 2>&1 &
KX_PIDS+=($!)
ping_pid=$!
rss_start=$(hx_rss "$bridge")

pace=()
[ "$RATE" -gt 0 ] && pace=(-r "$RATE")
hx_flood 1 flood plug -s "$KX_TMP/sw1" -d 02:ff:00:00:00:01 -t $FLOOD_SECS "${pace[@]}"
hx_flood 3 net udp -a 198.18.0.1 -d 02:ff:00:00:00:02 -t $FLOOD_SECS "${pace[@]}"
hx_done flood && hx_done net
flood_end=$SECONDS
rss_peak=$(awk '$1 == "VmHWM:" { print $2 }' /proc/"$bridge"/status)
rss_flood_end=$(hx_rss "$bridge")

# The probe: learned behind switch 1 last of all. A datagram to it from
# host 3 reaches the switch while it is known, and not once it is swept.
hx_send 1 plug -s "$KX_TMP/sw1" -S $PROBE -d 02:ff:00:00:00:01 -n 1 >/dev/null
hx_counter_up 1 rx1 || exit 1
# probe TRIES: sends a datagram to the probe address, up to TRIES times a
# second apart; true once one arrived. Right after an unpaced flood the
# bridge is still working off its queues, and the probe's own frame may
# not have been learned yet.
probe()
{
	local try before
	for try in $(seq "$1"); do
		before=$(hx_count rx1 "^$PROBE_HEX")
		hx_send 3 udp -a 198.18.0.1 -S 02:50:0b:e0:00:02 -d $PROBE -n 1 >/dev/null
		kx_wait 1 eval '[ "$(hx_count rx1 "^$PROBE_HEX")" -gt "$before" ]' && return 0
	done
	return 1
}
probe 10
probe_before=$?
# By now the probe has been learned, if ever.
probe_learned=$SECONDS

# Only time makes entries expire: wait until the probe, the youngest entry,
# is past its lifetime and the next sweep (every 3 s) has run.
while [ $SECONDS -lt $((probe_learned + EXPIRE_SECS + 5)) ]; do
	sleep 1
	kx_alive "$bridge" || break
done
probe 2
probe_after=$?
# The sweep frees everything at once; give the allocator a moment. "Near"
# leaves room for what an allocator keeps for itself (the sanitizer's
# shadow and bookkeeping, for one): at most a quarter of the growth and
# 512 kB stay.
rss_near() { [ "$(hx_rss "$bridge")" -le $((rss_start + (rss_peak - rss_start) / 4 + 512)) ]; }
kx_wait 10 rss_near
rss_final=$(hx_rss "$bridge")
# Interrupted, ping prints its count of echoes sent.
kill -INT "$ping_pid"
kx_wait_exit 5 "$ping_pid"

sent_switch=$(hx_sent flood)
sent_net=$(hx_sent net)
kx_info "rate: ${RATE}/s per side (0: unpaced); flood ${FLOOD_SECS} s"
kx_info "frames sent: $sent_switch from switch 1, $sent_net from host 3"
kx_info "bridge 1 VmRSS: start ${rss_start} kB, peak (VmHWM) ${rss_peak} kB," \
	"flood end ${rss_flood_end} kB, final ${rss_final} kB"

# The ping over the whole run: echoes answered, and the longest stretch
# without an answer.
read -r sent_pings answered longest < <(awk '
	/^\[/ && /bytes from/ { t = substr($1, 2, length($1) - 2) + 0
		if (n++ && t - last > gap) gap = t - last; last = t }
	/packets transmitted/ { tx = $1 }
	END { printf "%d %d %.1f\n", tx, n, gap }' "$KX_TMP/ping.out")
kx_info "ping: $answered of $sent_pings answered, longest silence ${longest} s"

kx_test "bridge 1 still runs" kx_alive "$bridge"
kx_test "both floods ran" test "${sent_switch:-0}" -gt 0 -a "${sent_net:-0}" -gt 0
kx_test "ping through bridge 1 answered throughout (>= 95%, no 3 s gap)" \
	awk -v s="$sent_pings" -v a="$answered" -v g="$longest" \
	'BEGIN { exit !(s > 0 && a * 100 >= s * 95 && g < 3) }'
kx_test "the flood grew the table (peak above start by 1 MB)" test "$rss_peak" -gt $((rss_start + 1024))
kx_test "the probe was known right after the flood" test "$probe_before" -eq 0
kx_test "and forgotten $EXPIRE_SECS s later" test "$probe_after" -ne 0
kx_test "VmRSS back near its start once the entries are swept" rss_near

# The end: the switch goes, the bridge leaves with status 0 and, in the
# sanitizer build, LeakSanitizer reports at exit whatever it lost.
kx_stop "$KX_SWITCH_PID_1"
kx_wait_exit 10 "$bridge"
status=$?
kx_test "bridge 1 ends with status 0 when its switch stops" test "$status" -eq 0
if hx_sanitized; then
	kx_test "no sanitizer report (LeakSanitizer included) from bridge 1" \
		hx_sanitizer_quiet "$KX_TMP/bridge1.log"
fi
[ "$status" -eq 0 ] || hx_show_log 1

kx_summary
