#!/usr/bin/env bash
# Faults while traffic flows: datagrams with bad flags at full rate, a
# learning table that cannot get memory, a peer that cannot be reached, and
# at the end a switch killed outright. Bridge 1 is the one under test; it
# runs with a malloc that fails table entries while $KX_TMP/fail exists.
#
#   host 1                       host 2                      host 3
#   tap0 192.0.2.1               tap0 192.0.2.2              (no bridge: sends
#    krix_switch  + plugs tx1,    krix_switch  + plug rx2     VXLAN datagrams
#                   rx1                                       of its own)
#    krix_vxlan -v                krix_vxlan -v
#     (fail_alloc.so preloaded)
#   u0 198.18.0.1                u0 198.18.0.2               u0 198.18.0.3
#    |                            |                           |
#    +---------------------- br0 in the hub ------------------+
#                        group 239.1.1.1, port 4879, VNI 42
#
# Frames that tx1 puts on switch 1 carry EtherType 88b6, frames that host 3
# sends to bridge 1 carry 88b5, so the counting plugs rx1 and rx2 can tell
# them from the hosts' own ARP and ICMP.
#
# Usage: faults.sh BUILD_DIR
set -u
BUILD=$(cd "${1:?usage: $0 BUILD_DIR}" && pwd)
. "$(dirname "$0")"/hlib.sh
trap kx_cleanup EXIT
trap "exit 1" INT TERM
kx_require ip ping

BCAST=ff:ff:ff:ff:ff:ff
FROM_NET='^ffffffffffff.{12}88b5'
FROM_SWITCH='^ffffffffffff.{12}88b6'
FAIL_FLAG=$KX_TMP/fail

kx_hub_up
for i in 1 2 3; do kx_host_add "$i"; done
kx_switch_up 1 || exit 1
# A sanitizer runtime insists on coming first among the libraries; the
# preload only hands calls on to it, so that order does not matter here.
ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0 \
	LD_PRELOAD=$HX_FAIL_ALLOC KRIX_FAIL_ALLOC_FLAG=$FAIL_FLAG kx_bridge_up 1 || exit 1
kx_switch_up 2 && kx_bridge_up 2 || exit 1
hx_counter_up 1 rx1 && hx_counter_up 2 rx2 || exit 1
kx_test "ping through the bridges before any fault" kx_ping 2 1

# ping_during SECONDS MIN: pings host 1 from host 2 five times a second for
# SECONDS, and is true when at least MIN per cent of the echoes came back.
ping_during()
{
	local count=$(($1 * 5)) got
	got=$(ip netns exec "$(kx_ns 2)" ping -c "$count" -i 0.2 -W 2 192.0.2.1 2>/dev/null |
		awk '/received/ { print $4 }')
	kx_info "ping: ${got:-0} of $count echoes came back"
	[ "${got:-0}" -ge $((count * $2 / 100)) ]
}

# --- Bad flags at full rate ----------------------------------------------
# Every flags byte but 0x08 is refused; with broadcast inner frames, any
# that slipped through would reach rx1.
hx_flood 3 badflags udp -a 198.18.0.1 -d $BCAST -S 02:ba:d0:00:00:01 -t 4 \
	-F 0x00,0x0c,0x80,0xff,0x09
kx_test "ping through bridge 1 while bad flags flood it" ping_during 3 50
hx_done badflags
kx_info "host 3 sent $(hx_sent badflags) datagrams with bad flags;" \
	"bridge 1 logged $(hx_log_count 1 'Invalid flags') \"Invalid flags\""
kx_test "bridge 1 logs \"Invalid flags\" for them" kx_wait 5 eval '[ "$(hx_log_count 1 "Invalid flags")" -gt 0 ]'
kx_test "none of them reaches switch 1" test "$(hx_count rx1 '^ffffffffffff02bad0000001')" -eq 0
kx_test "ping through bridge 1 after the flood" kx_ping 2 1

# --- Entry allocation fails ------------------------------------------------
# Every address below is new, so every learn needs an entry and fails;
# the frames and datagrams must go on all the same.
touch "$FAIL_FLAG"
hx_traffic 1 tx1 plug -s "$KX_TMP/sw1" -d $BCAST -e 0x88b6 -n 100 -r 50
hx_traffic 3 net udp -a 198.18.0.1 -d $BCAST -n 100 -r 50
kx_test "ping through bridge 1 while entries cannot be allocated" ping_during 2 90
hx_done tx1 && hx_done net
kx_test "bridge 1 logs \"Failed to malloc hash entry ...\"" \
	grep -qx 'krix_vxlan: Failed to malloc hash entry Cannot allocate memory' "$KX_TMP/bridge1.log"
kx_info "$(grep -c 'Failed to malloc hash entry' "$KX_TMP/bridge1.log") failed allocations logged"
kx_test "all 100 frames from switch 1 reach switch 2" kx_wait 5 eval '[ "$(hx_count rx2 "$FROM_SWITCH")" -eq 100 ]'
kx_test "all 100 datagrams from host 3 reach switch 1" kx_wait 5 eval '[ "$(hx_count rx1 "$FROM_NET")" -eq 100 ]'

# An address whose entry could not be made is not known; once memory is
# there again, its next frame makes the entry. Unicast to it from the
# network tells which: "Not found" before, "Send to KRIX" after.
LATE=02:1a:7e:00:00:01
# learn_and_ask WANT: a frame from LATE on switch 1, then a datagram to it.
learn_and_ask()
{
	local want=$1 before
	before=$(hx_log_count 1 "$want")
	hx_send 1 plug -s "$KX_TMP/sw1" -S $LATE -d $BCAST -e 0x88b7 -n 1 >/dev/null &&
		hx_send 3 udp -a 198.18.0.1 -d $LATE -n 1 >/dev/null &&
		kx_wait 5 eval '[ "$(hx_log_count 1 "$want")" -gt "$before" ]'
}
kx_test "an address seen while allocation fails is not learned" learn_and_ask "Not found"
rm -f "$FAIL_FLAG"
kx_test "it is learned from its next frame once allocation works" learn_and_ask "Send to KRIX"

# --- The peers cannot be reached -------------------------------------------
# Without routes on u0, every send of bridge 1 fails with ENETUNREACH;
# datagrams still arrive at its address and the group, and must still be
# delivered. Reverse-path filtering would drop them now that no route
# leads back, so it is off for the duration.
ns1=$(kx_ns 1)
ip netns exec "$ns1" sysctl -qw net.ipv4.conf.all.rp_filter=0 net.ipv4.conf.u0.rp_filter=0
ip -n "$ns1" route flush dev u0
rx1_before=$(hx_count rx1 "$FROM_NET")
rx2_before=$(hx_count rx2 "$FROM_SWITCH")
hx_traffic 1 tx1 plug -s "$KX_TMP/sw1" -d $BCAST -e 0x88b6 -n 20 -r 50
hx_traffic 3 net udp -a 198.18.0.1 -d $BCAST -n 20 -r 50
hx_done tx1 && hx_done net
kx_test "bridge 1 logs \"sendto(): ...\" for frames it cannot send" kx_wait 5 \
	grep -qx 'krix_vxlan: sendto(): Network is unreachable' "$KX_TMP/bridge1.log"
kx_test "the other way, all 20 datagrams still reach switch 1" \
	kx_wait 5 eval '[ $(($(hx_count rx1 "$FROM_NET") - rx1_before)) -eq 20 ]'
kx_test "and nothing of switch 1 reached switch 2" test "$(hx_count rx2 "$FROM_SWITCH")" -eq "$rx2_before"
ip -n "$ns1" route add 198.18.0.0/24 dev u0 src 198.18.0.1
ip -n "$ns1" route add default dev u0
kx_test "ping through bridge 1 once the routes are back" kx_ping 2 1

# --- The switch is killed while traffic flows ------------------------------
hx_flood 1 tx1 plug -s "$KX_TMP/sw1" -d 02:ff:00:00:00:01 -t 20
hx_flood 3 net udp -a 198.18.0.1 -d 02:ff:00:00:00:02 -t 20
ip netns exec "$(kx_ns 2)" ping -q -i 0.05 -W 1 192.0.2.1 >/dev/null 2>&1 &
KX_PIDS+=($!)
lines=$(wc -l <"$KX_TMP/bridge1.log")
kx_wait 10 eval '[ $(wc -l <"$KX_TMP/bridge1.log") -gt $((lines + 1000)) ]' ||
	kx_info "little traffic seen by bridge 1 before the kill"
kill -KILL "$KX_SWITCH_PID_1"
wait "$KX_SWITCH_PID_1" 2>/dev/null
kx_forget "$KX_SWITCH_PID_1"
kx_wait_exit 20 "$KX_BRIDGE_PID_1"
status=$?
kx_info "bridge 1 ended with status $status"
[ "$status" -eq 0 ] || hx_show_log 1
kx_test "bridge 1 ends with status 0 once its switch is killed" test "$status" -eq 0
kx_test "bridge 1 logged \"KRIX connection closed\"" \
	grep -qx 'krix_vxlan: KRIX connection closed' "$KX_TMP/bridge1.log"
kx_test "host 1 is no longer a member of $KX_GROUP" kx_wait 5 eval '! kx_joined 1'
if hx_sanitized; then
	kx_test "no sanitizer report from bridge 1" hx_sanitizer_quiet "$KX_TMP/bridge1.log"
fi

kx_summary
