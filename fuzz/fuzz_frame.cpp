// Fuzzes the switch side's receive path: one input is one frame that the
// switch (the fake plug library) hands over and switch_on_frame learns from
// and forwards with vxlan_send. The datagrams go to a UDP socket in a
// private network namespace, where the harness reads and checks them.
//
// Input: byte 0 chooses the variations, the rest is the frame.
//   bit 0     the frame's destination is first learned behind a remote
//             endpoint (127.0.0.2), so that unicast sending is reached
//   bit 1     ... or behind the switch, so that nothing is sent
//   bits 4-7  seconds the table's clock moves on before the frame
#include <arpa/inet.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "fake_krixplug.h"
#include "fuzz_bridge.h"
#include "fuzz_util.h"
#include "log.h"
#include "switch.h"
#include "table.h"
#include "vxlan.h"

namespace {

constexpr size_t FRAME_MAX = 4096;
// The group stands in as a unicast address: in the private namespace the
// datagrams then come back to the one socket, where they are checked.
const in_addr_t GROUP = inet_addr("127.0.0.1");
const in_addr_t PEER = inet_addr("127.0.0.2");

// Reads every datagram that was sent; checks each is the VXLAN header for
// VNI 42 followed by the frame as received, and returns how many arrived
// and the address the last one went to.
int sent(const uint8_t *frame, size_t received, in_addr_t *to)
{
	int count = 0;
	uint8_t dgram[VXLAN_HDR_LEN + RECV_MAX + 1];
	union {
		struct cmsghdr align;
		char buf[CMSG_SPACE(sizeof(struct in_pktinfo))];
	} cm;
	for (;;) {
		struct iovec iov = {dgram, sizeof(dgram)};
		struct msghdr msg = {};
		msg.msg_iov = &iov;
		msg.msg_iovlen = 1;
		msg.msg_control = cm.buf;
		msg.msg_controllen = sizeof(cm.buf);
		ssize_t n = recvmsg(vxlan_fd, &msg, MSG_DONTWAIT);
		if (n < 0)
			return count;
		static const uint8_t HEADER[VXLAN_HDR_LEN] = {0x08, 0, 0, 0, 0, 0, FUZZ_VNI, 0};
		FUZZ_CHECK(size_t(n) == VXLAN_HDR_LEN + received);
		FUZZ_CHECK(memcmp(dgram, HEADER, VXLAN_HDR_LEN) == 0);
		FUZZ_CHECK(memcmp(dgram + VXLAN_HDR_LEN, frame, received) == 0);
		struct cmsghdr *c = CMSG_FIRSTHDR(&msg);
		FUZZ_CHECK(c && c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO);
		struct in_pktinfo info;
		memcpy(&info, CMSG_DATA(c), sizeof(info));
		*to = info.ipi_addr.s_addr;
		count++;
	}
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	fuzz_bridge_init(GROUP);
	int on = 1;
	setsockopt(vxlan_fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof(on));
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size < 1 || size - 1 > FRAME_MAX)
		return -1;
	uint8_t opts = data[0];
	const uint8_t *frame = data + 1;
	size_t len = size - 1;

	fuzz_bridge_next_input(opts >> 4);
	if ((opts & 3) && len >= ETH_ADDRS_LEN) {
		// Past the hold-off, so that the destination surely moves there.
		fuzz_bridge_advance(4);
		table_learn(frame + ETH_DST_OFF, FUZZ_VNI, (opts & 1) ? PEER : DEST_SWITCH);
	}

	if (send(fake_plug_switch_fd(), frame, len, MSG_DONTWAIT) != ssize_t(len))
		return 0;
	switch_on_frame();

	size_t received = len < RECV_MAX ? len : RECV_MAX;
	in_addr_t to = 0;
	int count = sent(frame, received, &to);
	if (received < ETH_ADDRS_LEN) {
		FUZZ_CHECK(count == 0);
		return 0;
	}
	// One datagram, to the group for broadcast and unknown destinations, to
	// the endpoint that the destination was learned behind, and none for a
	// destination behind the switch. The table holds what the handler
	// found: it learned the source before it looked the destination up.
	const uint8_t *dst = frame + ETH_DST_OFF;
	uint32_t dest = mac_is_broadcast(dst) ? DEST_NONE : table_find(dst, FUZZ_VNI);
	if (dest == DEST_SWITCH) {
		FUZZ_CHECK(count == 0);
		return 0;
	}
	FUZZ_CHECK(count == 1);
	FUZZ_CHECK(to == (dest == DEST_NONE ? GROUP : dest));
	return 0;
}
