/*
 * relay.cpp: the floor of the bridge's I/O model. One poll over the same
 * three descriptors, at most one frame per side per pass, one receive per
 * readiness report and one send per frame, with a header fixed at start-up
 * and one fixed destination. No learning, no checks, no logging: whatever
 * krix_vxlan spends beyond this is its own per-frame work.
 *
 * Usage: vxlan_relay -s DIR -A GROUP -D DEST [-I VNI] [-P PORT]
 */
#include "krixplug.h"

#include <arpa/inet.h>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr size_t HDR_LEN = 8;
constexpr size_t RECV_MAX = 1526;

[[noreturn]] void relay_fail(const char *what)
{
	perror(what);
	exit(1);
}

/* The same socket as the bridge's: blocking, no buffer options, joined to
 * the group, its own multicast not looped back. */
int relay_socket(in_addr_t group, int port)
{
	int fd = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
	int ttl = 1, loop = 0;
	struct sockaddr_in local = {};
	struct ip_mreq mreq = {};

	if (fd < 0)
		relay_fail("socket");
	setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof(ttl));
	setsockopt(fd, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof(loop));
	local.sin_family = AF_INET;
	local.sin_port = htons(uint16_t(port));
	if (bind(fd, reinterpret_cast<struct sockaddr *>(&local), sizeof(local)) < 0)
		relay_fail("bind");
	mreq.imr_multiaddr.s_addr = group;
	if (setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof(mreq)) < 0)
		relay_fail("setsockopt(IP_ADD_MEMBERSHIP)");
	return fd;
}

} // namespace

int main(int argc, char **argv)
{
	const char *dir = nullptr;
	in_addr_t group = INADDR_NONE, dest = INADDR_NONE;
	int vni = 42, port = 4879, c;

	while ((c = getopt(argc, argv, "s:A:D:I:P:")) != -1) {
		switch (c) {
		case 's': dir = optarg; break;
		case 'A': group = inet_addr(optarg); break;
		case 'D': dest = inet_addr(optarg); break;
		case 'I': vni = atoi(optarg); break;
		case 'P': port = atoi(optarg); break;
		default:
			fprintf(stderr, "usage: vxlan_relay -s DIR -A GROUP -D DEST [-I VNI] [-P PORT]\n");
			return 1;
		}
	}
	if (dir == nullptr || group == INADDR_NONE || dest == INADDR_NONE) {
		fprintf(stderr, "vxlan_relay: -s, -A and -D are required\n");
		return 1;
	}

	SwitchOpenArgs args = {0, nullptr, 0700};
	KRIXCONN *conn = krix_open_real(dir, "vxlan_relay:", 1, &args);
	if (conn == nullptr)
		relay_fail("krix_open_real");
	int fd = relay_socket(group, port);

	const uint8_t header[HDR_LEN] = {0x08, 0, 0, 0, uint8_t(vni >> 16), uint8_t(vni >> 8),
					 uint8_t(vni), 0};
	struct sockaddr_in to = {};
	to.sin_family = AF_INET;
	to.sin_port = htons(uint16_t(port));
	to.sin_addr.s_addr = dest;

	struct pollfd set[3] = {
		{krix_ctlfd(conn), POLLIN | POLLHUP, 0},
		{krix_datafd(conn), POLLIN | POLLHUP, 0},
		{fd, POLLIN | POLLHUP, 0},
	};
	for (;;) {
		if (poll(set, 3, 1000) < 0)
			continue;
		if (set[0].revents & POLLHUP)
			break;
		if (set[1].revents & POLLIN) {
			uint8_t buf[HDR_LEN + RECV_MAX];
			ssize_t n = krix_recv(conn, buf + HDR_LEN, RECV_MAX, 0);
			if (n >= 0) {
				memcpy(buf, header, HDR_LEN);
				sendto(fd, buf, size_t(n) + HDR_LEN, 0,
				       reinterpret_cast<struct sockaddr *>(&to), sizeof(to));
			}
		}
		if (set[2].revents & POLLIN) {
			uint8_t buf[RECV_MAX];
			struct sockaddr_in from;
			socklen_t fromlen = sizeof(from);
			ssize_t n = recvfrom(fd, buf, RECV_MAX, 0,
					     reinterpret_cast<struct sockaddr *>(&from), &fromlen);
			if (n >= ssize_t(HDR_LEN))
				krix_send(conn, buf + HDR_LEN, size_t(n) - HDR_LEN, 0);
		}
	}
	krix_close(conn);
	return 0;
}
