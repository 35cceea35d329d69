#!/usr/bin/env bash
# krix_vxlan against the kernel's own VXLAN driver on one segment: two krix
# hosts, a kernel host with the same VNI, and a kernel host with another VNI
# that must stay cut off.
#
#   host 1             host 2             host 3             host 4
#   tap0 192.0.2.1     tap0 192.0.2.2     vx0 192.0.2.3      vx0 192.0.2.4
#    krix_switch        krix_switch       (kernel, VNI 42)   (kernel, VNI 43)
#    krix_vxlan -I 42   krix_vxlan -I 42
#   u0 198.18.0.1      u0 198.18.0.2      u0 198.18.0.3      u0 198.18.0.4
#    |                  |                  |                  |
#    +--------------------- br0 in the hub ----------------------+
#                  group 239.1.1.1, port 4879, ttl 1
#
# Usage: kernel_interop.sh BUILD_DIR
set -u
BUILD=$(cd "${1:?usage: $0 BUILD_DIR}" && pwd)
. "$(dirname "$0")"/lib.sh
trap kx_cleanup EXIT
trap "exit 1" INT TERM
kx_require ip bridge ping

kx_hub_up
for i in 1 2 3 4; do kx_host_add "$i"; done
for i in 1 2; do
	kx_switch_up "$i" && kx_bridge_up "$i" || exit 1
done
kx_kernel_host_up 3 "$KX_VNI"
kx_kernel_host_up 4 $((KX_VNI + 1))

# The krix host speaks first, so the kernel learns from a flooded ARP
# request; then the kernel host starts a conversation of its own.
for i in 1 2; do
	kx_test "ping krix host $i -> kernel host 3" kx_ping "$i" 3
	kx_test "ping kernel host 3 -> krix host $i" kx_ping 3 "$i"
done

# kernel_learned I: host 3's forwarding database holds host I's TAP MAC
# with host I's underlay address.
kernel_learned()
{
	local mac fdb
	mac=$(kx_mac "$1" tap0)
	fdb=$(bridge -n "$(kx_ns 3)" fdb show dev vx0)
	kx_info "$(echo "$fdb" | grep -i "^$mac " || echo "no entry for $mac")"
	echo "$fdb" | grep -qiE "^$mac dst 198\.18\.0\.$1( |$)"
}
for i in 1 2; do
	kx_test "kernel fdb: host $i's MAC at 198.18.0.$i" kernel_learned "$i"
done

kx_test "no ping krix host 1 -> kernel host 4 (VNI $((KX_VNI + 1)))" kx_no_ping 1 4
kx_test "no ping kernel host 4 (VNI $((KX_VNI + 1))) -> krix host 1" kx_no_ping 4 1
kx_test "krix bridge refused the other VNI" grep -q '^krix_vxlan: Invalid VNI$' "$KX_TMP/bridge1.log"
kernel_learned_nothing()
{
	! bridge -n "$(kx_ns 4)" fdb show dev vx0 | grep -qiE "^($(kx_mac 1 tap0)|$(kx_mac 2 tap0)) "
}
kx_test "kernel host 4 learned no krix MAC" kernel_learned_nothing

kx_summary
