#!/bin/bash
# tap_test.sh: krix_switch carrying frames between a TAP device and a plug.
#
#   namespace krixtap-<pid>-<rand>
#   +--------------------------------------------------------------+
#   |  kernel 192.0.2.1/24                                         |
#   |     |                                                        |
#   |   ktap0 (TAP) --- krix_switch --- krix_plug (02:00:00:00:00:02,|
#   |                   $tmp/sw          speaks for 192.0.2.2)      |
#   +--------------------------------------------------------------+
#
# TAP to plug: the kernel's ARP request for 192.0.2.2 reaches the plug.
# Plug to TAP: the plug's ARP request for 192.0.2.1 reaches the kernel,
# which learns the plug's address and answers it through the switch.
#
# Usage: tap_test.sh BUILD_DIR
set -u

build=${1:?usage: tap_test.sh BUILD_DIR}
ns=krixtap-$$-$RANDOM
tmp=$(mktemp -d /tmp/krix_tap_test.XXXXXX)
switch_pid=
plug_pid=
passed=0
failed=0

cleanup() {
	exec 3>&-
	[ -n "$plug_pid" ] && kill "$plug_pid" 2>/dev/null
	[ -n "$switch_pid" ] && kill "$switch_pid" 2>/dev/null
	wait 2>/dev/null
	ip netns del "$ns" 2>/dev/null
	rm -rf "$tmp"
}
trap cleanup EXIT

result() {
	if [ "$2" = 0 ]; then
		printf 'TEST: %-50s [ OK ]\n' "$1"
		passed=$((passed + 1))
	else
		printf 'TEST: %-50s [FAIL]\n' "$1"
		failed=$((failed + 1))
	fi
}

# Polls until the command succeeds, for at most about five seconds.
wait_for() {
	for _ in $(seq 50); do
		"$@" && return 0
		sleep 0.1
	done
	return 1
}

# Not for background jobs: $! would name the subshell, not the program.
in_ns() { ip netns exec "$ns" "$@"; }

ip netns add "$ns" || exit 1
in_ns ip link set lo up
ip netns exec "$ns" "$build/krix_switch" -v -s "$tmp/sw" -t ktap0 2>"$tmp/switch.log" &
switch_pid=$!
wait_for in_ns ip link show ktap0 >/dev/null 2>&1 || { cat "$tmp/switch.log"; exit 1; }
in_ns ip addr add 192.0.2.1/24 dev ktap0
in_ns ip link set ktap0 up
tap_mac=$(in_ns cat /sys/class/net/ktap0/address | tr -d :)

mkfifo "$tmp/in"
ip netns exec "$ns" "$build/krix_plug" -v -s "$tmp/sw" -w 30 <"$tmp/in" >"$tmp/out" 2>"$tmp/plug.log" &
plug_pid=$!
exec 3>"$tmp/in"
wait_for grep -q attached "$tmp/plug.log" || { cat "$tmp/plug.log"; exit 1; }

# A datagram to 192.0.2.2 makes the kernel ask for that address on ktap0.
in_ns python3 -c 'import socket; socket.socket(socket.AF_INET, socket.SOCK_DGRAM).sendto(b"x", ("192.0.2.2", 9))'
# ARP request: broadcast from the TAP, who-has 192.0.2.2 (c0000202).
wait_for grep -qE "^ffffffffffff${tap_mac}08060001080006040001${tap_mac}c0000201[0-9a-f]{12}c0000202" "$tmp/out"
result "frame written to the TAP comes out of the plug" $?

plug_mac=020000000002
echo "ffffffffffff $plug_mac 0806 0001 0800 06 04 0001 $plug_mac c0000202 000000000000 c0000201" >&3
wait_for sh -c "ip netns exec $ns ip neigh show 192.0.2.2 dev ktap0 | grep -q 02:00:00:00:00:02"
result "frame sent by the plug comes out of the TAP" $?
# ARP reply: unicast to the plug, learned behind the switch's plug port.
wait_for grep -qE "^${plug_mac}${tap_mac}08060001080006040002${tap_mac}c0000201${plug_mac}c0000202" "$tmp/out"
result "the kernel's answer comes back to the plug" $?

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
