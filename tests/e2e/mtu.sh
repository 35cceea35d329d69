#!/usr/bin/env bash
# Overlay MTU against a 1500-byte underlay. With the recommended overlay MTU
# of 1450, a full-size frame plus the 50 bytes of VXLAN, UDP and IPv4
# headers fills the underlay exactly and nothing is fragmented. With an
# overlay MTU of 1500 the datagrams outgrow the underlay, which fragments
# them, and full-size pings still pass.
#
#   host 1                              host 2
#   tap0 192.0.2.1 (mtu 1450 / 1500)    tap0 192.0.2.2 (mtu 1450 / 1500)
#    krix_switch, krix_vxlan -I 42       krix_switch, krix_vxlan -I 42
#   u0 198.18.0.1 (mtu 1500)            u0 198.18.0.2 (mtu 1500)
#    |                                   |
#    +------ br0 in the hub (captured) --+    group 239.1.1.1, port 4879
#
# Usage: mtu.sh BUILD_DIR
set -u
BUILD=$(cd "${1:?usage: $0 BUILD_DIR}" && pwd)
. "$(dirname "$0")"/lib.sh
trap kx_cleanup EXIT
trap "exit 1" INT TERM
kx_require ip tcpdump tshark ping

kx_hub_up
for i in 1 2; do
	kx_host_add "$i" 1500
	kx_switch_up "$i" && kx_bridge_up "$i" || exit 1
done

# Rows of a capture, one per underlay IPv4 packet carrying UDP (fragments
# included): outer total length, more-fragments flag, fragment offset,
# source and destination. tshark gives the offset in units of 8 bytes.
underlay_rows()
{
	kx_tshark "$1" 'ip.proto == 17' ip.len ip.flags.mf ip.frag_offset ip.src ip.dst |
		awk -F'\t' '{ for (i = 1; i <= NF; i++) sub(/,.*/, "", $i); print $1, $2, $3, $4, $5 }'
}
fragments() { awk '$2 == 1 || $3 > 0' | wc -l; }
largest() { awk '$1 > m { m = $1 } END { print m + 0 }'; }

# run_mtu MTU PAYLOAD: sets the overlay MTU on both hosts, then captures
# full-size pings (PAYLOAD bytes, "don't fragment") both ways.
run_mtu()
{
	local mtu=$1 size=$2 i
	for i in 1 2; do ip -n "$(kx_ns "$i")" link set tap0 mtu "$mtu"; done
	kx_capture_start "mtu$mtu" "$KX_HUB" br0 || return 1
	kx_test "overlay $mtu: ping -s $size -M do host 1 -> host 2" kx_ping 1 2 -s "$size" -M do
	kx_test "overlay $mtu: ping -s $size -M do host 2 -> host 1" kx_ping 2 1 -s "$size" -M do
	kx_capture_stop "mtu$mtu"
	ROWS=$(underlay_rows "mtu$mtu")
	kx_info "capture: $(echo "$ROWS" | grep -c .) packets, $(echo "$ROWS" | fragments)" \
		"fragments, largest $(echo "$ROWS" | largest) bytes; the first ones:"
	echo "$ROWS" | head -n 4 | while read -r len mf off src dst; do
		kx_info "  $src -> $dst length $len, more fragments $mf, offset $((off * 8))"
	done
}

run_mtu 1450 1422
kx_test "overlay 1450: no underlay packet is fragmented" test "$(echo "$ROWS" | fragments)" -eq 0
kx_test "overlay 1450: full-size datagrams are 1500 bytes on the wire" \
	test "$(echo "$ROWS" | awk '$1 == 1500' | wc -l)" -ge 4

run_mtu 1500 1472
kx_test "overlay 1500: the underlay fragments the datagrams" test "$(echo "$ROWS" | fragments)" -ge 8
kx_test "overlay 1500: no underlay packet exceeds 1500 bytes" test "$(echo "$ROWS" | largest)" -le 1500

kx_summary
