#include "switch.h"

#include <arpa/inet.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "log.h"
#include "table.h"
#include "vxlan.h"

KRIXCONN *switch_conn = nullptr;

void switch_open(const char *sock, int port, PollSet set)
{
	SwitchOpenArgs args = {};
	args.port = port;
	args.group = nullptr;
	args.mode = 0700;

	switch_conn = krix_open_real(sock, "krix_vxlan:", 1, &args);
	if (!switch_conn) {
		log_line(LOG_ERR, "krix_open(\"%s\"): %s", sock ? sock : "DEF_SWITCH", strerror(errno));
		exit(1);
	}
	set[POLL_SWITCH_CTL].fd = krix_ctlfd(switch_conn);
	set[POLL_SWITCH_CTL].events = POLLIN | POLLHUP;
	set[POLL_SWITCH_DATA].fd = krix_datafd(switch_conn);
	set[POLL_SWITCH_DATA].events = POLLIN | POLLHUP;
}

void switch_on_frame(void)
{
	// Received behind room for the VXLAN header, so that vxlan_send can
	// put the header in front of the frame without copying it.
	EncapBuffer buf;
	uint8_t *frame = buf + VXLAN_HDR_LEN;

	int n = int(krix_recv(switch_conn, frame, RECV_MAX, 0));
	if (n < 0) {
		log_line(LOG_ERR, "krix_recv(): %s", strerror(errno));
		return;
	}
	log_line(LOG_DEBUG, "KRIX packet");
	if (size_t(n) < ETH_ADDRS_LEN) {
		// Too short to name a source or a destination: nothing to learn
		// and nowhere to send it.
		log_line(LOG_DEBUG, "Short frame dropped (%d bytes)", n);
		return;
	}

	table_learn(frame + ETH_SRC_OFF, vxlan_id, DEST_SWITCH);

	if (mac_is_broadcast(frame + ETH_DST_OFF)) {
		log_line(LOG_DEBUG, "Broadcast send");
		vxlan_send(DEST_NONE, buf, uint64_t(n));
		return;
	}

	uint32_t dest = table_find(frame + ETH_DST_OFF, vxlan_id);
	if (dest == DEST_NONE) {
		log_line(LOG_DEBUG, "Multicast send");
		vxlan_send(DEST_NONE, buf, uint64_t(n));
	} else if (dest != DEST_SWITCH) {
		struct in_addr peer = {};
		peer.s_addr = dest;
		if (log_debug_enabled())
			log_line(LOG_DEBUG, "Send to %s", inet_ntoa(peer));
		vxlan_send(dest, buf, uint64_t(n));
	}
	// A destination behind the switch has already been reached there.
}

void switch_deliver(const uint8_t *frame, uint64_t length)
{
	if (int(krix_send(switch_conn, frame, length, 0)) < 0)
		log_line(LOG_ERR, "krix_send(): %s", strerror(errno));
}

void switch_close(void)
{
	krix_close(switch_conn);
}
