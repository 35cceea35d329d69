#!/usr/bin/env bash
# Leaks: bridge 1 carries a short run of every kind of traffic (learning
# from both sides, broadcast, unicast, flooding, refused datagrams) and is
# then ended the normal way, by its switch going away. In the plain build it
# runs under valgrind, in the sanitizer build it is built with
# LeakSanitizer; either reports at exit every block it lost.
#
#   host 1                            host 2                host 3
#   tap0 192.0.2.1                    tap0 192.0.2.2        (no bridge)
#    krix_switch + plug flood          krix_switch           hard_traffic udp
#    krix_vxlan -v (under valgrind     krix_vxlan
#      or LeakSanitizer)
#   u0 198.18.0.1                     u0 198.18.0.2         u0 198.18.0.3
#    |                                 |                     |
#    +------------------- br0 in the hub --------------------+
#                group 239.1.1.1, port 4879, VNI 42
#
# Usage: leak.sh BUILD_DIR
set -u
BUILD=$(cd "${1:?usage: $0 BUILD_DIR}" && pwd)
. "$(dirname "$0")"/hlib.sh
trap kx_cleanup EXIT
trap "exit 1" INT TERM
if hx_sanitized; then
	kx_require ip ping
	checker=LeakSanitizer
	run_bridge() { kx_bridge_up 1; }
else
	kx_require ip ping valgrind
	checker=valgrind
	# Definite and indirect losses, and memory errors, turn into status 99.
	run_bridge()
	{
		kx_exec 1 valgrind --leak-check=full --errors-for-leak-kinds=definite,indirect \
			--error-exitcode=99 "$BUILD"/krix_vxlan -s "$KX_TMP/sw1" -I "$KX_VNI" \
			-A "$KX_GROUP" -P "$KX_PORT" -v >"$KX_TMP/bridge1.log" 2>&1 &
		KX_PIDS+=($!)
		KX_BRIDGE_PID_1=$!
		kx_wait 30 kx_joined 1 || { echo "bridge 1 did not join"; cat "$KX_TMP/bridge1.log"; return 1; }
	}
fi

kx_hub_up
for i in 1 2 3; do kx_host_add "$i"; done
kx_switch_up 1 && run_bridge || exit 1
kx_switch_up 2 && kx_bridge_up 2 || exit 1

kx_test "ping host 2 -> host 1 through bridge 1 ($checker)" kx_ping 2 1
hx_traffic 1 flood plug -s "$KX_TMP/sw1" -d 02:ff:00:00:00:01 -r 500 -t 2
hx_traffic 3 net udp -a 198.18.0.1 -d ff:ff:ff:ff:ff:ff -r 500 -t 2
hx_traffic 3 bad udp -a 198.18.0.1 -F 0x00,0x0c -r 100 -t 2
hx_traffic 3 vni udp -a "$KX_GROUP" -I 43 -r 100 -t 2
KX_PING_COUNT=5 kx_test "ping host 1 -> host 2 under traffic" kx_ping 1 2
for run in flood net bad vni; do hx_done $run; done
kx_info "frames sent: $(hx_sent flood) from switch 1, $(hx_sent net) broadcast," \
	"$(hx_sent bad) bad flags, $(hx_sent vni) other VNI from host 3"

kx_stop "$KX_SWITCH_PID_1"
kx_wait_exit 30 "$KX_BRIDGE_PID_1"
status=$?
kx_info "bridge 1 ended with status $status"
kx_test "bridge 1 ends with status 0 ($checker: no leak, no error)" test "$status" -eq 0
kx_test "bridge 1 logged \"KRIX connection closed\"" \
	grep -qx 'krix_vxlan: KRIX connection closed' "$KX_TMP/bridge1.log"
if hx_sanitized; then
	kx_test "no report of LeakSanitizer or AddressSanitizer" hx_sanitizer_quiet "$KX_TMP/bridge1.log"
else
	kx_test "valgrind: nothing definitely or indirectly lost" \
		eval 'grep -q "ERROR SUMMARY: 0 errors" "$KX_TMP/bridge1.log" &&
			! grep -qE "(definitely|indirectly) lost: [1-9]" "$KX_TMP/bridge1.log"'
	grep -E 'in use at exit|definitely lost|still reachable' "$KX_TMP/bridge1.log" |
		sed 's/^==[0-9]*== *//' | while read -r line; do kx_info "$line"; done
fi
[ "$status" -eq 0 ] || grep -B2 -A12 -E 'lost in|ERROR' "$KX_TMP/bridge1.log" | head -40

kx_summary
