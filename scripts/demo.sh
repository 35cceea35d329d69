#!/usr/bin/env bash
# The bridge at work: two hosts whose KRIX switches are joined by
# krix_vxlan, and a third host on the kernel's own VXLAN driver, all on one
# VXLAN segment (VNI 42, group 239.1.1.1, port 4879). Everything runs in
# network namespaces made here and removed on exit, Ctrl-C included.
set -u
cd "$(dirname "$0")/.."

if [ "$(id -u)" -ne 0 ]; then
	echo "demo: run as root (it makes network namespaces)" >&2
	exit 1
fi
bash scripts/deps.sh || exit 1
cmake -S . -B build >/dev/null && cmake --build build -j"$(nproc)" >/dev/null || exit 1

BUILD=$PWD/build
. tests/e2e/lib.sh
trap kx_cleanup EXIT
trap 'exit 130' INT TERM

cat <<'PICTURE'
  host 1                        host 2                        host 3
  tap0 192.0.2.1                tap0 192.0.2.2                vx0 192.0.2.3
   |                             |                            (kernel VXLAN)
  krix_switch                   krix_switch                    |
   |                             |                             |
  krix_vxlan -I 42              krix_vxlan -I 42               |
   |  u0 198.18.0.1              |  u0 198.18.0.2              |  u0 198.18.0.3
   +--------------------- underlay, group 239.1.1.1:4879 ------+
PICTURE

step() { printf '\n== %s\n' "$*"; }

step "Setting up three hosts in namespaces ($KX_RUN-*)"
kx_hub_up
for i in 1 2 3; do kx_host_add "$i"; done
for i in 1 2; do
	kx_switch_up "$i" || exit 1
	kx_bridge_up "$i" || exit 1
	# The overlay carries the VXLAN header inside the underlay's 1500 bytes.
	ip -n "$(kx_ns "$i")" link set tap0 mtu 1450
done
kx_kernel_host_up 3 "$KX_VNI"

for pair in "1 2" "2 1" "1 3" "3 2"; do
	set -- $pair
	step "ping from host $1 to 192.0.2.$2"
	ip netns exec "$(kx_ns "$1")" ping -c 3 -i 0.2 -W 2 192.0.2."$2" | sed 's/^/   /'
done

step "What host 3's kernel learned (MAC -> underlay address)"
ip -n "$(kx_ns 3)" link show vx0 >/dev/null
for i in 1 2; do
	mac=$(ip -n "$(kx_ns "$i")" -br link show tap0 | awk '{print $3}')
	echo "   host $i tap0 $mac:"
	bridge -n "$(kx_ns 3)" fdb show dev vx0 | grep -i "$mac" | sed 's/^/      /'
done

step "Paths krix_vxlan on host 1 chose (unicast after learning)"
grep -E '^krix_vxlan: Send to [0-9]' "$KX_TMP/bridge1.log" | sort | uniq -c | sed 's/^/   /'

step "The first lines of host 1's bridge log (-v)"
head -n 24 "$KX_TMP/bridge1.log" | sed 's/^/   /'

step "Done; removing the namespaces"
