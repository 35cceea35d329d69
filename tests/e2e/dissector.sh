#!/usr/bin/env bash
# The datagrams of the two-host set-up, decoded by an independent dissector
# (tshark, told that port 4879 carries VXLAN): every one must be a well
# formed VXLAN datagram of our VNI around a valid Ethernet frame, and those
# sent to the group must not leave the link (IP TTL 1).
#
#   host 1                              host 2
#   tap0 192.0.2.1                      tap0 192.0.2.2
#    krix_switch                         krix_switch
#    krix_vxlan -I 42                    krix_vxlan -I 42
#   u0 198.18.0.1                       u0 198.18.0.2
#    |                                   |
#    +------ br0 in the hub (captured) --+    group 239.1.1.1, port 4879
#
# Usage: dissector.sh BUILD_DIR
set -u
BUILD=$(cd "${1:?usage: $0 BUILD_DIR}" && pwd)
. "$(dirname "$0")"/lib.sh
trap kx_cleanup EXIT
trap "exit 1" INT TERM
kx_require ip tcpdump tshark ping

kx_two_hosts_up || exit 1
kx_test "ping host 1 -> host 2" kx_ping 1 2
kx_test "ping host 2 -> host 1" kx_ping 2 1
kx_capture_stop underlay

# One row per datagram to our port: the VXLAN fields, the protocol stack
# and the outer destination and TTL (first of the comma-separated
# occurrences; the inner IPv4 header comes second).
ROWS=$(kx_tshark underlay "udp.dstport==$KX_PORT" vxlan vxlan.flags vxlan.gbp vxlan.vni \
	vxlan.reserved8 frame.protocols _ws.malformed ip.dst ip.ttl)
kx_info "$(echo "$ROWS" | grep -c .) datagrams to port $KX_PORT in the capture"

# every CONDITION: true when the capture holds datagrams and the awk
# CONDITION holds for each; prints the rows that break it. Columns: 1 vxlan
# (present), 2 flags, 3 the 16 bits before the VNI, 4 VNI, 5 the byte after
# it, 6 protocol stack, 7 malformed mark, 8 destinations, 9 TTLs.
every()
{
	echo "$ROWS" | awk -F'\t' -v vni="$KX_VNI" -v group="$KX_GROUP" '
		{ split($8, dst, ","); split($9, ttl, ",") }
		NF { n++; if (!('"$1"')) { print "   offending datagram: " $0; bad = 1 } }
		END { exit bad || n == 0 }'
}

# The dissector shows the flags byte and the reserved byte after it as one
# 16-bit value. With the G flag clear, RFC 7348 reserves the next 16 bits,
# which tshark still labels as a group policy ID.
kx_test "every datagram decodes as VXLAN" every '$1 == "vxlan"'
kx_test "flags 0x08 and the reserved byte after them zero" every '$2 == "0x0800"'
kx_test "the 16 reserved bits before the VNI are zero" every '$3 == "0"'
kx_test "VNI $KX_VNI" every '$4 == vni'
kx_test "the reserved byte after the VNI is zero" every '$5 == "0"'
kx_test "a valid inner Ethernet frame (ARP or IPv4) in each" \
	every '$6 ~ /:udp:vxlan:eth:ethertype:(arp|ip:icmp(:data)?)$/ && $7 == ""'
kx_test "datagrams to the group have IP TTL 1" every 'dst[1] != group || ttl[1] == 1'
group_seen()
{
	echo "$ROWS" | awk -F'\t' -v g="$KX_GROUP" '{ split($8, d, ",") } d[1] == g { f = 1 } END { exit !f }'
}
kx_test "and some datagrams went to the group" group_seen

kx_summary
