// The switch side: one port of a KRIX switch, through its plug library.
#ifndef KRIX_VXLAN_SWITCH_H
#define KRIX_VXLAN_SWITCH_H

#include <stdint.h>

#include "common.h"
#include "krixplug.h"

// The connection to the switch; null until switch_open has run.
extern KRIXCONN *switch_conn;

// Connects to the switch at sock (null: the library's default) and fills
// the switch entries of set. Ends the process when the switch cannot be
// reached.
void switch_open(const char *sock, int port, PollSet set);
// Takes one frame from the switch, learns its source and forwards it.
void switch_on_frame(void);
// Hands one frame that came over VXLAN to the switch.
void switch_deliver(const uint8_t *frame, uint64_t length);
// Ends the connection.
void switch_close(void);

#endif
