// Fuzzes the VXLAN side's receive path: one input is one datagram that a
// real UDP socket receives, in a private network namespace, and that
// vxlan_on_datagram checks, learns from and perhaps delivers to the switch
// (the fake plug library, whose far end the harness reads and checks).
//
// Input: byte 0 chooses the variations, the rest is the datagram.
//   bits 0-1  the sender among a few loopback addresses
//   bit 2     the inner destination is first learned behind the switch, so
//             that delivery to a known station is reached
//   bits 4-7  seconds the table's clock moves on before the datagram
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

// Longer than any receive, short enough for one UDP datagram.
constexpr size_t DATAGRAM_MAX = 4096;

const char *const SENDERS[] = {"127.0.0.1", "127.0.0.2", "127.1.2.3", "127.255.255.254"};
constexpr size_t SENDER_COUNT = sizeof(SENDERS) / sizeof(SENDERS[0]);
int sender_fd[SENDER_COUNT];

// Reads what reached the switch; checks that it is the datagram's inner
// frame, and returns how many frames arrived.
int delivered(const uint8_t *dgram, size_t received)
{
	int count = 0;
	uint8_t frame[RECV_MAX + 1];
	ssize_t n;
	while ((n = recv(fake_plug_switch_fd(), frame, sizeof(frame), MSG_DONTWAIT)) >= 0) {
		FUZZ_CHECK(received >= VXLAN_HDR_LEN);
		FUZZ_CHECK(size_t(n) == received - VXLAN_HDR_LEN);
		FUZZ_CHECK(memcmp(frame, dgram + VXLAN_HDR_LEN, size_t(n)) == 0);
		count++;
	}
	return count;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	fuzz_bridge_init(inet_addr("127.0.0.1"));
	for (size_t i = 0; i < SENDER_COUNT; i++)
		sender_fd[i] = fuzz_udp_socket(inet_addr(SENDERS[i]), 0);
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size < 1 || size - 1 > DATAGRAM_MAX)
		return -1;
	uint8_t opts = data[0];
	const uint8_t *dgram = data + 1;
	size_t len = size - 1;

	fuzz_bridge_next_input(opts >> 4);
	if ((opts & 4) && len >= VXLAN_HDR_LEN + ETH_HDR_LEN)
		table_learn(dgram + VXLAN_HDR_LEN + ETH_DST_OFF, FUZZ_VNI, DEST_SWITCH);

	struct sockaddr_in to = {};
	to.sin_family = AF_INET;
	to.sin_port = htons(FUZZ_PORT);
	to.sin_addr.s_addr = inet_addr("127.0.0.1");
	int from = sender_fd[opts & 3];
	if (sendto(from, dgram, len, 0, reinterpret_cast<struct sockaddr *>(&to), sizeof(to)) != ssize_t(len))
		return 0;

	vxlan_on_datagram();

	size_t received = len < RECV_MAX ? len : RECV_MAX;
	int count = delivered(dgram, received);
	bool valid = received >= VXLAN_HDR_LEN + ETH_HDR_LEN && dgram[0] == 0x08 &&
		     vxlan_header_vni(dgram) == FUZZ_VNI;
	// Only a datagram with a good header reaches the switch, and then once
	// exactly when its destination is broadcast or learned behind the
	// switch (the table holds what the handler found: it learned the
	// source before it looked the destination up).
	if (!valid) {
		FUZZ_CHECK(count == 0);
		return 0;
	}
	const uint8_t *dst = dgram + VXLAN_HDR_LEN + ETH_DST_OFF;
	bool to_switch = mac_is_broadcast(dst) || table_find(dst, FUZZ_VNI) == DEST_SWITCH;
	FUZZ_CHECK(count == (to_switch ? 1 : 0));
	return 0;
}
