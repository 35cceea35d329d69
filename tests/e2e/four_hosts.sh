#!/usr/bin/env bash
# Four krix hosts on one segment. Every pair pings; then host 4's switch is
# killed outright: its bridge must see the hang-up, leave the group and
# end with status 0, while the other three go on as before.
#
#   host 1          host 2          host 3          host 4
#   tap0 .1         tap0 .2         tap0 .3         tap0 .4      192.0.2.0/24
#    krix_switch     krix_switch     krix_switch     krix_switch  <- killed
#    krix_vxlan      krix_vxlan      krix_vxlan      krix_vxlan
#   u0 .1           u0 .2           u0 .3           u0 .4        198.18.0.0/24
#    |               |               |               |
#    +--------------- br0 in the hub ----------------+  group 239.1.1.1:4879
#
# Usage: four_hosts.sh BUILD_DIR
set -u
BUILD=$(cd "${1:?usage: $0 BUILD_DIR}" && pwd)
. "$(dirname "$0")"/lib.sh
trap kx_cleanup EXIT
trap "exit 1" INT TERM
kx_require ip ping

kx_hub_up
for i in 1 2 3 4; do
	kx_host_add "$i"
	kx_switch_up "$i" && kx_bridge_up "$i" || exit 1
done

# ping_all HOST...: every ordered pair of the given hosts pings.
ping_all()
{
	local a b failed=0
	for a in "$@"; do
		for b in "$@"; do
			[ "$a" = "$b" ] && continue
			kx_ping "$a" "$b" || { kx_info "no ping $a -> $b"; failed=1; }
		done
	done
	return $failed
}
kx_test "every pair of the four hosts pings" ping_all 1 2 3 4

kill -KILL "$KX_SWITCH_PID_4"
wait "$KX_SWITCH_PID_4" 2>/dev/null
kx_forget "$KX_SWITCH_PID_4"

kx_wait_exit 10 "$KX_BRIDGE_PID_4"
status=$?
kx_info "bridge 4 ended with status $status"
[ "$status" -eq 0 ] || tail -n 20 "$KX_TMP/bridge4.log" | while read -r line; do kx_info "| $line"; done
kx_test "bridge 4 ends with status 0 once its switch is killed" test "$status" -eq 0
kx_test "bridge 4 logged \"KRIX connection closed\"" \
	grep -q '^krix_vxlan: KRIX connection closed$' "$KX_TMP/bridge4.log"
kx_test "host 4 is no longer a member of $KX_GROUP" kx_wait 5 eval '! kx_joined 4'
kx_test "hosts 1, 2 and 3 still all ping each other" ping_all 1 2 3
kx_test "and host 4 is unreachable" kx_no_ping 1 4

kx_summary
