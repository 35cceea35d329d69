#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, when missing.
set -euo pipefail

PACKAGES=(
	cmake g++ clang libclang-rt-14-dev pkg-config
	libgtest-dev libgmock-dev libbenchmark-dev
	iproute2 iputils-ping tcpdump tshark
	valgrind mandoc python3 procps util-linux
)

missing=()
for p in "${PACKAGES[@]}"; do
	dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
