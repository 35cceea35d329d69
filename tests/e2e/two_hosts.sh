#!/usr/bin/env bash
# Two hosts on one VXLAN segment: each runs krix_switch with a TAP port and
# krix_vxlan with the same VNI, group and port. The hub's bridge is
# captured to show which paths the datagrams took.
#
#   host 1                              host 2
#   tap0 192.0.2.1                      tap0 192.0.2.2
#    krix_switch                         krix_switch
#    krix_vxlan -I 42                    krix_vxlan -I 42
#   u0 198.18.0.1                       u0 198.18.0.2
#    |                                   |
#    +------ br0 in the hub (captured) --+    group 239.1.1.1, port 4879
#
# Usage: two_hosts.sh BUILD_DIR
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

# Rows: outer source, outer destination (then the inner ones), ARP opcode,
# ARP target address, ICMP type.
ROWS=$(kx_tshark underlay "udp.port==$KX_PORT" ip.src ip.dst arp.opcode arp.dst.proto_ipv4 icmp.type)

first_arp_to_group()
{
	echo "$ROWS" | awk -F'\t' -v group="$KX_GROUP" '
		$3 == 1 && !seen { seen = 1; split($1, s, ","); split($2, d, ",")
				   ok = s[1] == "198.18.0.1" && d[1] == group }
		END { exit !ok }'
}

# Every datagram of the given kind went by unicast to the underlay address
# of the host that owns the inner destination, 192.0.2.I -> 198.18.0.I.
unicast_to_owner()
{
	local kind=$1 min=$2
	echo "$ROWS" | awk -F'\t' -v kind="$kind" -v min="$min" '
		kind == "arp-reply" && $3 == 2 { split($4, t, "."); target = t[4] }
		kind == "icmp" && $5 != "" { split($2, d, ","); split(d[2], t, "."); target = t[4] }
		target != "" {
			n++
			split($2, d, ",")
			if (d[1] != "198.18.0." target) { print "   wrong path: " $0; bad = 1 }
			target = ""
		}
		END { exit bad || n < min }'
}

kx_test "first ARP request went to the group $KX_GROUP" first_arp_to_group
kx_test "ARP replies went by unicast to the asking host" unicast_to_owner arp-reply 1
kx_test "every echo went by unicast to the other host" unicast_to_owner icmp 8
kx_info "the first datagrams on the underlay:"
kx_show_capture underlay 6

kx_summary
