#include "fuzz_bridge.h"

#include "fake_krixplug.h"
#include "fuzz_util.h"
#include "log.h"
#include "switch.h"
#include "table.h"
#include "vxlan.h"

namespace {

constexpr unsigned SWEEP_EVERY = 4096;
constexpr unsigned EXPIRY_SECS = 100;

time_t fake_now = 1000000;
unsigned inputs;

time_t fake_clock(time_t *t)
{
	if (t)
		*t = fake_now;
	return fake_now;
}

// The fake plug library records every call; a fresh connection now and
// then keeps that record from growing over a long run.
void fuzz_bridge_reopen_switch(void)
{
	fake_plug_reset();
	switch_conn = nullptr;
	PollSet set = {};
	switch_open(nullptr, 0, set);
}

} // namespace

void fuzz_bridge_init(in_addr_t group)
{
	fuzz_private_netns();
	verbose = 1;
	vxlan_id = FUZZ_VNI;
	vxlan_addr = group;
	vxlan_port = FUZZ_PORT;
	vxlan_fd = fuzz_udp_socket(htonl(INADDR_ANY), FUZZ_PORT);
	table_clock = fake_clock;
	table_init(128);
	fuzz_bridge_reopen_switch();
}

void fuzz_bridge_advance(unsigned secs)
{
	fake_now += secs;
}

void fuzz_bridge_next_input(unsigned secs)
{
	fake_now += secs;
	if (++inputs % SWEEP_EVERY == 0) {
		fake_now += EXPIRY_SECS + 1;
		fuzz_bridge_reopen_switch();
	}
	table_sweep();
}
