// Set-up shared by the bridge's harnesses (fuzz_datagram, fuzz_frame): the
// VXLAN socket in a private network namespace, the switch side on the fake
// plug library, and the learning table on a clock the harness moves.
#ifndef FUZZ_BRIDGE_H
#define FUZZ_BRIDGE_H

#include <netinet/in.h>
#include <stdint.h>

constexpr uint16_t FUZZ_PORT = 4879;
constexpr int FUZZ_VNI = 42;

// Sets the settings (VNI 42, port 4879, the group), binds vxlan_fd to the
// port in a new private namespace, creates the table and opens the switch.
void fuzz_bridge_init(in_addr_t group);
// Starts an input: the clock moves on by secs; every so many inputs it moves
// past the expiry and the switch connection is made afresh, so that neither
// learned addresses nor the fake library's call record pile up; then the
// sweep runs.
void fuzz_bridge_next_input(unsigned secs);
// Moves the clock on by secs.
void fuzz_bridge_advance(unsigned secs);

#endif
