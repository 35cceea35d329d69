#!/usr/bin/env bash
# The switch and the bridge need no privilege: both run as the ordinary user
# nobody and still carry traffic. Only the set-up is root's: the namespaces,
# and a persistent TAP device made beforehand and owned by nobody.
#
#   host 1                              host 2
#   tap0 192.0.2.1 (owner nobody)       tap0 192.0.2.2 (owner nobody)
#    krix_switch       as nobody         krix_switch       as nobody
#    krix_vxlan -I 42  as nobody         krix_vxlan -I 42  as nobody
#   u0 198.18.0.1                       u0 198.18.0.2
#    |                                   |
#    +----------- br0 in the hub --------+    group 239.1.1.1, port 4879
#
# Usage: unprivileged.sh BUILD_DIR
set -u
BUILD=$(cd "${1:?usage: $0 BUILD_DIR}" && pwd)
. "$(dirname "$0")"/lib.sh
trap kx_cleanup EXIT
trap "exit 1" INT TERM
kx_require ip ping setpriv unshare mknod

KX_USER=nobody
uid=$(id -u "$KX_USER")
kx_user_programs "$KX_USER" || exit 1
[ "$(kx_tun_node_needed)" = yes ] &&
	kx_info "/dev/net/tun is closed to $KX_USER here; each host gets a 0666 node of its own"

kx_hub_up
for i in 1 2; do
	kx_host_add "$i"
	kx_switch_up "$i" && kx_bridge_up "$i" || exit 1
done

# unprivileged PID: the process runs with every user ID that of KX_USER
# and no effective capability.
unprivileged()
{
	local status
	status=$(cat /proc/"$1"/status) || return 1
	echo "$status" | grep -qE "^Uid:\s+$uid\s+$uid\s+$uid\s+$uid$" &&
		echo "$status" | grep -qE '^CapEff:\s+0+$'
}
for i in 1 2; do
	eval "switch_pid=\$KX_SWITCH_PID_$i bridge_pid=\$KX_BRIDGE_PID_$i"
	kx_test "host $i: krix_switch runs as $KX_USER, no capabilities" unprivileged "$switch_pid"
	kx_test "host $i: krix_vxlan runs as $KX_USER, no capabilities" unprivileged "$bridge_pid"
done
kx_test "ping host 1 -> host 2" kx_ping 1 2
kx_test "ping host 2 -> host 1" kx_ping 2 1
kx_test "bridge 1 sent by unicast after learning" grep -q '^krix_vxlan: Send to 198.18.0.2$' "$KX_TMP/bridge1.log"

kx_summary
