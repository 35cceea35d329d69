#include "fuzz_bridge.h"

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
	PollSet set = {};
	switch_open(nullptr, 0, set);
}

void fuzz_bridge_advance(unsigned secs)
{
	fake_now += secs;
}

void fuzz_bridge_next_input(unsigned secs)
{
	fake_now += secs;
	if (++inputs % SWEEP_EVERY == 0)
		fake_now += EXPIRY_SECS + 1;
	table_sweep();
}
