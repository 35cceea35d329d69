#include "vxlan.h"

#include <arpa/inet.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "log.h"
#include "switch.h"
#include "table.h"

int vxlan_id = -1;
in_addr_t vxlan_addr = INADDR_NONE;
int vxlan_port = 4879;
int vxlan_mttl = 1;

int vxlan_fd = -1;

// RFC 7348, section 5: the I flag says the VNI is valid; every other bit of
// the flags byte is reserved.
constexpr uint8_t VXLAN_FLAG_I = 0x08;

static struct ip_mreq vxlan_membership(void)
{
	struct ip_mreq mreq = {};
	mreq.imr_multiaddr.s_addr = vxlan_addr;
	mreq.imr_interface.s_addr = htonl(INADDR_ANY);
	return mreq;
}

static struct sockaddr_in vxlan_sockaddr(in_addr_t addr)
{
	struct sockaddr_in sa = {};
	sa.sin_family = AF_INET;
	sa.sin_port = htons(uint16_t(vxlan_port));
	sa.sin_addr.s_addr = addr;
	return sa;
}

[[noreturn]] static void vxlan_fail(const char *what)
{
	log_line(LOG_ERR, "%s: %s", what, strerror(errno));
	exit(1);
}

void vxlan_open(PollSet set)
{
	int fd = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
	if (fd < 0)
		vxlan_fail("socket()");

	int ttl = vxlan_mttl;
	if (setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof(ttl)) < 0)
		vxlan_fail("setsockopt(TTL)");

	// Our own datagrams to the group must not come back to us, or we would
	// learn our own addresses as remote.
	int loop = 0;
	if (setsockopt(fd, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof(loop)) < 0)
		vxlan_fail("setsockopt(LOOP)");

	struct sockaddr_in local = vxlan_sockaddr(htonl(INADDR_ANY));
	if (bind(fd, reinterpret_cast<struct sockaddr *>(&local), sizeof(local)) < 0)
		vxlan_fail("bind()");

	struct ip_mreq mreq = vxlan_membership();
	if (setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof(mreq)) < 0)
		vxlan_fail("setsockopt(ADD)");

	set[POLL_VXLAN].fd = fd;
	set[POLL_VXLAN].events = POLLIN | POLLHUP;
	vxlan_fd = fd;
}

void vxlan_header_write(uint8_t *hdr, int vni)
{
	memset(hdr, 0, VXLAN_HDR_LEN);
	hdr[0] = VXLAN_FLAG_I;
	hdr[4] = uint8_t(vni >> 16);
	hdr[5] = uint8_t(vni >> 8);
	hdr[6] = uint8_t(vni);
}

int vxlan_header_vni(const uint8_t *hdr)
{
	return hdr[4] << 16 | hdr[5] << 8 | hdr[6];
}

void vxlan_send(uint32_t dest, uint8_t *buf, uint64_t length)
{
	struct sockaddr_in to = vxlan_sockaddr(dest == DEST_NONE ? vxlan_addr : dest);
	vxlan_header_write(buf, vxlan_id);
	if (sendto(vxlan_fd, buf, length + VXLAN_HDR_LEN, 0, reinterpret_cast<struct sockaddr *>(&to),
		   sizeof(to)) < 0)
		log_line(LOG_ERR, "sendto(): %s", strerror(errno));
}

void vxlan_on_datagram(void)
{
	uint8_t buf[RECV_MAX];
	struct sockaddr_in from = {};
	socklen_t fromlen = sizeof(from);

	ssize_t n = recvfrom(vxlan_fd, buf, RECV_MAX, 0, reinterpret_cast<struct sockaddr *>(&from), &fromlen);
	if (n < 0) {
		log_line(LOG_ERR, "recvfrom(): %s", strerror(errno));
		return;
	}
	if (log_debug_enabled())
		log_line(LOG_DEBUG, "VXLAN packet from %s", inet_ntoa(from.sin_addr));

	// Anything shorter than the header and an Ethernet header cannot be
	// checked or forwarded. It is dropped quietly: a line at LOG_ERR for
	// each would let any sender fill the log.
	if (size_t(n) < VXLAN_HDR_LEN + ETH_HDR_LEN) {
		log_line(LOG_DEBUG, "Short packet dropped (%zd bytes)", n);
		return;
	}
	if (buf[0] != VXLAN_FLAG_I) {
		log_line(LOG_ERR, "Invalid flags");
		return;
	}
	if (vxlan_header_vni(buf) != vxlan_id) {
		log_line(LOG_DEBUG, "Invalid VNI");
		return;
	}
	// The learning table reads the values 0 and 1 as "not learned" and
	// "behind the switch", so a sender whose address has one of those
	// values must not be learned as an endpoint: it would capture addresses
	// that live behind our own switch. The values are 0.0.0.0 and, in
	// network byte order on a little-endian host, 1.0.0.0 (0.0.0.1 on a
	// big-endian one): a network's own address, never a VXLAN endpoint's.
	uint32_t sender = from.sin_addr.s_addr;
	if (sender == DEST_NONE || sender == DEST_SWITCH) {
		log_line(LOG_DEBUG, "Invalid sender");
		return;
	}

	uint8_t *frame = buf + VXLAN_HDR_LEN;
	uint64_t length = uint64_t(n) - VXLAN_HDR_LEN;
	table_learn(frame + ETH_SRC_OFF, vxlan_id, sender);

	if (mac_is_broadcast(frame + ETH_DST_OFF)) {
		log_line(LOG_DEBUG, "Broadcast send");
		switch_deliver(frame, length);
		return;
	}

	uint32_t dest = table_find(frame + ETH_DST_OFF, vxlan_id);
	if (dest == DEST_NONE) {
		log_line(LOG_DEBUG, "Not found");
	} else if (dest == DEST_SWITCH) {
		switch_deliver(frame, length);
		log_line(LOG_DEBUG, "Send to KRIX");
	} else {
		log_line(LOG_DEBUG, "Drop");
	}
}

void vxlan_close(void)
{
	if (vxlan_fd == -1)
		return;

	struct ip_mreq mreq = vxlan_membership();
	if (setsockopt(vxlan_fd, IPPROTO_IP, IP_DROP_MEMBERSHIP, &mreq, sizeof(mreq)) < 0) {
		log_line(LOG_ERR, "setsockopt(DROP): %s", strerror(errno));
		// This runs inside the exit handlers, where a second exit() is not
		// portable; end at once, and leave the switch connection alone.
		_exit(1);
	}
	close(vxlan_fd);
}
