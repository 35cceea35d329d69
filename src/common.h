// Constants and types shared by the modules of the bridge.
#ifndef KRIX_VXLAN_COMMON_H
#define KRIX_VXLAN_COMMON_H

#include <poll.h>
#include <stddef.h>
#include <stdint.h>

// The byte limit of every receive on either side. On the switch side it
// bounds the frame alone; on the VXLAN side it includes the header, so the
// longest inner frame received whole there is 1518 bytes.
constexpr size_t RECV_MAX = 1526;

// RFC 7348, section 5: flags (1), reserved (3), VNI (3), reserved (1).
constexpr size_t VXLAN_HDR_LEN = 8;

// Ethernet header fields that both sides read.
constexpr size_t MAC_LEN = 6;
constexpr size_t ETH_DST_OFF = 0;
constexpr size_t ETH_SRC_OFF = 6;
// Destination and source addresses, the least a frame must hold to be
// forwarded.
constexpr size_t ETH_ADDRS_LEN = 2 * MAC_LEN;
constexpr size_t ETH_HDR_LEN = 14;

// Destination values of the learning table: 0 is "not learned", 1 is
// "behind the switch" and anything else a remote endpoint's IPv4 address
// in network byte order.
constexpr uint32_t DEST_NONE = 0;
constexpr uint32_t DEST_SWITCH = 1;

// A frame from the switch is received behind room for the VXLAN header, so
// that the header can be written in front of it without a copy.
using EncapBuffer = uint8_t[VXLAN_HDR_LEN + RECV_MAX];

// Positions in the poll set of the event loop.
enum PollSlot : size_t {
	POLL_SWITCH_CTL = 0,
	POLL_SWITCH_DATA = 1,
	POLL_VXLAN = 2,
	POLL_COUNT = 3,
};
using PollSet = struct pollfd[POLL_COUNT];

// True when all six bytes of the address are 0xff.
inline bool mac_is_broadcast(const uint8_t *mac)
{
	return (mac[0] & mac[1] & mac[2] & mac[3] & mac[4] & mac[5]) == 0xff;
}

#endif
