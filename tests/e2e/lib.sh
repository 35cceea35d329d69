# Shared helpers of the namespace tests, the demo and the benchmarks.
# Source it; set BUILD (the build directory) first.
#
# Every host is a network namespace of its own whose underlay veth "u0"
# is plugged into a Linux bridge in a hub namespace:
#
#   host 1 (198.18.0.1)    host 2 (198.18.0.2)    host N (198.18.0.N)
#        u0                     u0                      u0
#         \                     |                      /
#          +------------- br0 in the hub -------------+
#
# Nothing here touches the machine's own namespace: links are made inside
# the namespaces, and every namespace and process is removed on cleanup.

KX_RUN=${KX_RUN:-kx$$-$RANDOM}
KX_HUB=$KX_RUN-hub
KX_TMP=$(mktemp -d /tmp/"$KX_RUN".XXXX)
KX_NAMESPACES=()
KX_PIDS=()
KX_GROUP=${KX_GROUP:-239.1.1.1}
KX_VNI=${KX_VNI:-42}
KX_PORT=${KX_PORT:-4879}

kx_cleanup()
{
	local pid ns
	for pid in "${KX_PIDS[@]}"; do
		kill "$pid" 2>/dev/null
	done
	for pid in "${KX_PIDS[@]}"; do
		wait "$pid" 2>/dev/null
	done
	for ns in "${KX_NAMESPACES[@]}"; do
		ip netns del "$ns" 2>/dev/null
	done
	rm -rf "$KX_TMP"
}

# kx_wait TIMEOUT_SECONDS COMMAND...: polls until the command succeeds.
kx_wait()
{
	local deadline=$((SECONDS + $1)); shift
	until "$@" >/dev/null 2>&1; do
		[ $SECONDS -ge $deadline ] && return 1
		sleep 0.1
	done
}

kx_ns() { echo "$KX_RUN-h$1"; }

kx_hub_up()
{
	ip netns add "$KX_HUB"
	KX_NAMESPACES+=("$KX_HUB")
	ip -n "$KX_HUB" link add br0 type bridge
	# Without a querier, snooping would stop flooding the group once the
	# first membership report is seen; every host is a member anyway.
	ip -n "$KX_HUB" link set br0 type bridge mcast_snooping 0
	ip -n "$KX_HUB" link set br0 up
}

# kx_host_add I [MTU]: host I with underlay address 198.18.0.I.
kx_host_add()
{
	local i=$1 mtu=${2:-1500} ns
	ns=$(kx_ns "$i")
	ip netns add "$ns"
	KX_NAMESPACES+=("$ns")
	ip link add u0 netns "$ns" mtu "$mtu" type veth peer name h"$i" netns "$KX_HUB" mtu "$mtu"
	ip -n "$KX_HUB" link set h"$i" master br0 up
	ip -n "$ns" link set lo up
	ip -n "$ns" addr add 198.18.0."$i"/24 dev u0
	ip -n "$ns" link set u0 up
	# The group needs a route, or joining it fails with "No such device".
	ip -n "$ns" route add default dev u0
}

# kx_switch_up I: krix_switch in host I with TAP port "tap0" carrying the
# overlay address 192.0.2.I.
kx_switch_up()
{
	local i=$1 ns dir
	ns=$(kx_ns "$i")
	dir=$KX_TMP/sw$i
	ip netns exec "$ns" "$BUILD"/krix_switch -s "$dir" -t tap0 "${@:2}" \
		>"$KX_TMP/switch$i.log" 2>&1 &
	KX_PIDS+=($!)
	eval "KX_SWITCH_PID_$i=$!"
	kx_wait 10 test -S "$dir"/ctl || { echo "switch $i did not start"; cat "$KX_TMP/switch$i.log"; return 1; }
	kx_wait 10 ip -n "$ns" link show tap0 || return 1
	ip -n "$ns" addr add 192.0.2."$i"/24 dev tap0
	ip -n "$ns" link set tap0 up
}

# kx_bridge_up I [OPTIONS...]: krix_vxlan in host I on its switch, with -v.
kx_bridge_up()
{
	local i=$1 ns
	ns=$(kx_ns "$i")
	ip netns exec "$ns" "$BUILD"/krix_vxlan -s "$KX_TMP/sw$i" -I "$KX_VNI" -A "$KX_GROUP" \
		-P "$KX_PORT" -v "${@:2}" >"$KX_TMP/bridge$i.log" 2>&1 &
	KX_PIDS+=($!)
	eval "KX_BRIDGE_PID_$i=$!"
	kx_wait 10 kx_joined "$i" || { echo "bridge $i did not join"; cat "$KX_TMP/bridge$i.log"; return 1; }
}

# kx_joined I: true while some socket of host I is a member of the group.
kx_joined()
{
	local hex
	hex=$(printf '%02X' $(echo "$KX_GROUP" | tr . ' ') | sed 's/\(..\)\(..\)\(..\)\(..\)/\4\3\2\1/')
	ip netns exec "$(kx_ns "$1")" grep -qi "$hex" /proc/net/igmp
}

# kx_kernel_host_up I VNI [MTU]: a host whose overlay is the kernel's own
# VXLAN device, on the same group and port.
kx_kernel_host_up()
{
	local i=$1 vni=$2 mtu=${3:-1450} ns
	ns=$(kx_ns "$i")
	ip -n "$ns" link add vx0 type vxlan id "$vni" group "$KX_GROUP" dstport "$KX_PORT" dev u0 ttl 1
	ip -n "$ns" link set vx0 mtu "$mtu"
	ip -n "$ns" addr add 192.0.2."$i"/24 dev vx0
	ip -n "$ns" link set vx0 up
}

# kx_ping FROM TO [ping options...]: pings overlay address 192.0.2.TO from
# host FROM.
kx_ping()
{
	ip netns exec "$(kx_ns "$1")" ping -q -c "${KX_PING_COUNT:-2}" -i 0.2 -W 2 "${@:3}" 192.0.2."$2" >/dev/null 2>&1
}

# Test bookkeeping in the kernel selftests' form.
KX_PASSED=0
KX_FAILED=0
kx_test()
{
	local name=$1; shift
	if "$@"; then
		printf 'TEST: %-60s [ OK ]\n' "$name"
		KX_PASSED=$((KX_PASSED + 1))
	else
		printf 'TEST: %-60s [FAIL]\n' "$name"
		KX_FAILED=$((KX_FAILED + 1))
	fi
}
kx_summary()
{
	echo "$KX_PASSED passed, $KX_FAILED failed"
	[ "$KX_FAILED" -eq 0 ]
}
