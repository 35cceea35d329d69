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
# IPv6 is off in every namespace, so that the only traffic on the overlay
# and the underlay is what a test makes.

KX_RUN=${KX_RUN:-kx$$-$RANDOM}
KX_HUB=$KX_RUN-hub
KX_TMP=$(mktemp -d /tmp/"$KX_RUN".XXXX)
KX_NAMESPACES=()
KX_PIDS=()
KX_GROUP=${KX_GROUP:-239.1.1.1}
KX_VNI=${KX_VNI:-42}
KX_PORT=${KX_PORT:-4879}
# When set, kx_switch_up and kx_bridge_up run their programs as this user.
KX_USER=${KX_USER:-}
KX_LIB_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

# kx_alive PID: true while PID runs (a zombie counts as ended).
kx_alive()
{
	local stat
	stat=$(cat /proc/"$1"/stat 2>/dev/null) || return 1
	stat=${stat##*) }
	[ "${stat%% *}" != Z ]
}

# kx_forget PID: drops a reaped PID from the list the cleanup kills, so a
# later process that reuses the number is left alone.
kx_forget()
{
	local pid keep=()
	for pid in "${KX_PIDS[@]}"; do
		[ "$pid" = "$1" ] || keep+=("$pid")
	done
	KX_PIDS=("${keep[@]}")
}

# kx_stop PID: ends one of our processes (TERM, then KILL after 5 s) and
# reaps it; returns its exit status.
kx_stop()
{
	local pid=$1 status
	kill "$pid" 2>/dev/null
	kx_wait 5 eval '! kx_alive '"$pid" || kill -KILL "$pid" 2>/dev/null
	wait "$pid" 2>/dev/null
	status=$?
	kx_forget "$pid"
	return $status
}

# kx_wait_exit SECONDS PID: waits for PID to end by itself and returns its
# exit status, or 255 if it still runs after SECONDS.
kx_wait_exit()
{
	local status
	kx_wait "$1" eval '! kx_alive '"$2" || return 255
	wait "$2" 2>/dev/null
	status=$?
	kx_forget "$2"
	return $status
}

kx_cleanup()
{
	local pid ns
	for pid in "${KX_PIDS[@]}"; do
		kill "$pid" 2>/dev/null
	done
	for pid in "${KX_PIDS[@]}"; do
		kx_wait 5 eval '! kx_alive '"$pid" || kill -KILL "$pid" 2>/dev/null
		wait "$pid" 2>/dev/null
	done
	KX_PIDS=()
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

# kx_require TOOL...: a test that needs a tool installs it or fails; it
# never skips. Also makes sure we are root, which namespaces need.
kx_require()
{
	local tool missing=()
	if [ "$(id -u)" -ne 0 ]; then
		echo "$(basename "$0"): must run as root (it makes network namespaces)" >&2
		exit 1
	fi
	for tool in "$@"; do
		command -v "$tool" >/dev/null || missing+=("$tool")
	done
	[ ${#missing[@]} -eq 0 ] && return 0
	echo "$(basename "$0"): installing what provides ${missing[*]}" >&2
	bash "$KX_LIB_DIR"/../../scripts/deps.sh >&2
	for tool in "${missing[@]}"; do
		if ! command -v "$tool" >/dev/null; then
			echo "$(basename "$0"): $tool is missing and could not be installed" >&2
			exit 1
		fi
	done
}

kx_ns() { echo "$KX_RUN-h$1"; }

# kx_netns_quiet NS: no IPv6 on the links made from now on in NS.
kx_netns_quiet()
{
	ip netns exec "$1" sh -c 'echo 1 >/proc/sys/net/ipv6/conf/default/disable_ipv6;
		echo 1 >/proc/sys/net/ipv6/conf/all/disable_ipv6' 2>/dev/null
	return 0
}

kx_hub_up()
{
	ip netns add "$KX_HUB"
	KX_NAMESPACES+=("$KX_HUB")
	kx_netns_quiet "$KX_HUB"
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
	kx_netns_quiet "$ns"
	ip link add u0 netns "$ns" mtu "$mtu" type veth peer name h"$i" netns "$KX_HUB" mtu "$mtu"
	ip -n "$KX_HUB" link set h"$i" master br0 up
	ip -n "$ns" link set lo up
	ip -n "$ns" addr add 198.18.0."$i"/24 dev u0
	ip -n "$ns" link set u0 up
	# The group needs a route, or joining it fails with "No such device".
	ip -n "$ns" route add default dev u0
}

# kx_exec I COMMAND...: replaces the calling (sub)shell with COMMAND run in
# host I, as $KX_USER when that is set, so that $! of "kx_exec ... &" is
# the program's own PID.
#
# A process that is not root opens /dev/net/tun only when the node allows
# it; Debian's udev makes it 0666, but some machines keep it 0600. Such a
# host then gets a 0666 node of its own in a private mount namespace,
# which changes nothing outside it.
kx_exec()
{
	local ns
	ns=$(kx_ns "$1"); shift
	[ -z "$KX_USER" ] && exec ip netns exec "$ns" "$@"
	exec ip netns exec "$ns" unshare --mount sh -c '
		user=$1 node=$2; shift 2
		if [ "$node" = yes ]; then
			mount -t tmpfs -o mode=755 krix-tun /dev/net &&
			mknod -m 666 /dev/net/tun c 10 200 || exit 1
		fi
		exec setpriv --reuid="$user" --regid="$(id -g "$user")" --clear-groups "$@"' \
		sh "$KX_USER" "$(kx_tun_node_needed)" "$@"
}

# kx_user_programs USER: when USER cannot run the programs where they were
# built (a checkout in a private directory, say), copies them and the plug
# library to a directory open to all and runs everything from there.
kx_user_programs()
{
	local user=$1 f
	if setpriv --reuid="$user" --regid="$(id -g "$user")" --clear-groups \
		sh -c 'test -x "$1"/krix_vxlan && test -r "$1"/libkrixplug.so.3' sh "$BUILD"; then
		return 0
	fi
	chmod 755 "$KX_TMP"
	install -d -m 755 "$KX_TMP/bin"
	for f in krix_switch krix_vxlan krix_plug libkrixplug.so.3; do
		install -m 755 "$BUILD/$f" "$KX_TMP/bin/$f" || return 1
	done
	BUILD=$KX_TMP/bin
	# The programs' own library path names the build directory, which the
	# user cannot enter; the loader then goes on to this one.
	export LD_LIBRARY_PATH=$KX_TMP/bin
}

kx_tun_node_needed()
{
	if setpriv --reuid="$KX_USER" --regid="$(id -g "$KX_USER")" --clear-groups \
		sh -c 'test -r /dev/net/tun && test -w /dev/net/tun'; then
		echo no
	else
		echo yes
	fi
}

# kx_switch_up I [OPTIONS...]: krix_switch in host I with TAP port "tap0"
# carrying the overlay address 192.0.2.I. With KX_USER set, the TAP device
# and the socket directory are made beforehand and owned by that user.
kx_switch_up()
{
	local i=$1 ns dir
	ns=$(kx_ns "$i")
	dir=$KX_TMP/sw$i
	if [ -n "$KX_USER" ]; then
		chmod 755 "$KX_TMP"
		install -d -m 700 -o "$KX_USER" -g "$(id -g "$KX_USER")" "$dir"
		ip -n "$ns" tuntap add tap0 mode tap user "$KX_USER"
	fi
	kx_exec "$i" "$BUILD"/krix_switch -s "$dir" -t tap0 "${@:2}" \
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
	local i=$1
	kx_exec "$i" "$BUILD"/krix_vxlan -s "$KX_TMP/sw$i" -I "$KX_VNI" -A "$KX_GROUP" \
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

# kx_no_ping FROM TO: true when not one echo comes back.
kx_no_ping()
{
	! ip netns exec "$(kx_ns "$1")" ping -q -c 2 -i 0.2 -W 1 192.0.2."$2" >/dev/null 2>&1
}

# kx_mac I DEV: the MAC address of DEV in host I.
kx_mac()
{
	ip -n "$(kx_ns "$1")" -br link show "$2" | awk '{print $3}'
}

# kx_capture_start NAME NS DEV: records every frame on DEV in namespace NS
# to $KX_TMP/NAME.pcap; returns once tcpdump listens.
kx_capture_start()
{
	local name=$1
	# -Z root: the file lives in our private directory, which the user
	# tcpdump would otherwise drop to could not write.
	ip netns exec "$2" tcpdump -i "$3" --immediate-mode -U -Z root -w "$KX_TMP/$name.pcap" \
		2>"$KX_TMP/$name.tcpdump" &
	KX_PIDS+=($!)
	eval "KX_CAPTURE_PID_$name=$!"
	kx_wait 10 grep -q 'listening on' "$KX_TMP/$name.tcpdump" ||
		{ echo "tcpdump on $3 did not start"; cat "$KX_TMP/$name.tcpdump"; return 1; }
}

# kx_capture_stop NAME: ends the capture and flushes the file.
kx_capture_stop()
{
	local pid
	eval "pid=\$KX_CAPTURE_PID_$1"
	kx_stop "$pid"
	return 0
}

# kx_tshark NAME FILTER FIELD...: one line per frame of capture NAME that
# matches the display filter, its fields separated by tabs. The underlay
# port is decoded as VXLAN. Where a field occurs more than once (the outer
# and the inner IPv4 header), the occurrences are separated by commas.
kx_tshark()
{
	local name=$1 filter=$2 args=() f
	shift 2
	for f in "$@"; do args+=(-e "$f"); done
	tshark -r "$KX_TMP/$name.pcap" -n -d udp.port=="$KX_PORT",vxlan -Y "$filter" \
		-T fields -E occurrence=a -E aggregator=, "${args[@]}" 2>/dev/null
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

# kx_info TEXT: an indented line that shows what a test saw.
kx_info() { printf '      %s\n' "$*"; }

# kx_two_hosts_up: hosts 1 and 2, each a switch with tap0 and a bridge, and
# a capture "underlay" of the hub's bridge, which (in promiscuous mode)
# sees every datagram between the hosts.
kx_two_hosts_up()
{
	kx_hub_up
	kx_host_add 1
	kx_host_add 2
	kx_capture_start underlay "$KX_HUB" br0 || return 1
	kx_switch_up 1 && kx_bridge_up 1 && kx_switch_up 2 && kx_bridge_up 2
}

# kx_show_capture NAME [COUNT]: the first COUNT datagrams of a capture, one
# line each, as tshark sums them up.
kx_show_capture()
{
	tshark -r "$KX_TMP/$1.pcap" -n -d udp.port=="$KX_PORT",vxlan -Y "udp.port==$KX_PORT" \
		-T fields -e frame.number -e ip.src -e ip.dst -e _ws.col.Info \
		-E occurrence=f 2>/dev/null | head -n "${2:-8}" | while IFS=$'\t' read -r n src dst info; do
		kx_info "$(printf '%3s %-11s -> %-11s %s' "$n" "$src" "$dst" "$info")"
	done
}
