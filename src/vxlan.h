// The VXLAN side: one UDP socket joined to the segment's multicast group.
#ifndef KRIX_VXLAN_VXLAN_H
#define KRIX_VXLAN_VXLAN_H

#include <netinet/in.h>
#include <stdint.h>

#include "common.h"

// Settings, filled from the command line before anything is opened.
extern int vxlan_id;          // the VNI; -1 until given
extern in_addr_t vxlan_addr;  // the group; INADDR_NONE until given
extern int vxlan_port;        // bound and sent to; its low 16 bits count
extern int vxlan_mttl;        // time-to-live of datagrams to the group

// The socket; -1 until vxlan_open has completed.
extern int vxlan_fd;

// Opens the socket, joins the group and fills the VXLAN entry of set. Ends
// the process on failure.
void vxlan_open(PollSet set);
// Writes the header into buf[0..7] and sends it with the length-byte frame
// behind it, to the group (dest 0) or to the endpoint dest.
void vxlan_send(uint32_t dest, uint8_t *buf, uint64_t length);
// Takes one datagram from the network, learns its inner source and hands
// the frame to the switch when it belongs there.
void vxlan_on_datagram(void);
// Leaves the group and closes the socket, if it was ever opened.
void vxlan_close(void);

// Writes the VXLAN header for vni into hdr[0..7].
void vxlan_header_write(uint8_t *hdr, int vni);
// The 24-bit VNI of the header at hdr.
int vxlan_header_vni(const uint8_t *hdr);

#endif
