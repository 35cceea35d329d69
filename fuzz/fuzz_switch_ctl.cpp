// Fuzzes what the switch parses from its plugs, in process: the real
// control socket in a private directory, the real ports and learning table.
// One input is one plug: a hello on the control socket and, when the switch
// takes the plug on, frames on the data channel it hands back.
//
// Input: byte 0 chooses the variations, then records of a little-endian
// 16-bit length and that many bytes: the hello, then up to FRAMES_MAX frames.
//   bit 0  another plug is attached first (it takes port 1), so that frames
//          are forwarded and a hello asking for port 1 finds it taken
//   bit 1  the plug hangs up its data channel right after its frames
//   bit 2  the plug writes a byte on its control connection after the hello
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <set>
#include <vector>

#include "../krixplug/krix_wire.h"
#include "ctl.h"
#include "fdb.h"
#include "fuzz_util.h"
#include "log.h"
#include "port.h"

namespace {

constexpr int PORTS = 4;
constexpr int POLL_MAX = 1 + CTL_PENDING_MAX + 2 * PORTS;
constexpr int FRAMES_MAX = 32;
constexpr int64_t AGEING_MS = 300000;

struct sockaddr_un ctl_addr;

// The plug's side of one connection.
struct Plug {
	int ctl = -1;
	int data = -1;
};

// Runs the switch's loop without waiting until nothing is left to do.
void pump(void)
{
	struct pollfd pfd[POLL_MAX];
	PollRef ref[POLL_MAX];
	for (int round = 0; round < 64; round++) {
		int n = ctl_poll_fill(pfd, ref);
		n += port_poll_fill(pfd + n, ref + n);
		if (poll(pfd, nfds_t(n), 0) <= 0)
			return;
		ctl_poll_dispatch(pfd, ref, n);
	}
}

int plug_connect(void)
{
	int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
	FUZZ_CHECK(fd >= 0);
	FUZZ_CHECK(connect(fd, reinterpret_cast<struct sockaddr *>(&ctl_addr), sizeof(ctl_addr)) == 0);
	return fd;
}

// Reads the switch's reply, if any: -1 when there is none, else the reply's
// error, with the data channel in plug->data and the port in *port.
int plug_reply(Plug *plug, int *port)
{
	KrixReply r = {};
	union {
		struct cmsghdr align;
		char buf[CMSG_SPACE(4 * sizeof(int))];
	} cm;
	struct iovec iov = {&r, sizeof(r)};
	struct msghdr msg = {};
	msg.msg_iov = &iov;
	msg.msg_iovlen = 1;
	msg.msg_control = cm.buf;
	msg.msg_controllen = sizeof(cm.buf);
	ssize_t n = recvmsg(plug->ctl, &msg, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
	if (n <= 0)
		return -1;
	int fds = 0;
	for (struct cmsghdr *c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
		FUZZ_CHECK(c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS);
		FUZZ_CHECK(c->cmsg_len == CMSG_LEN(sizeof(int)));
		memcpy(&plug->data, CMSG_DATA(c), sizeof(int));
		fds++;
	}
	FUZZ_CHECK(n == ssize_t(sizeof(r)) && !(msg.msg_flags & (MSG_TRUNC | MSG_CTRUNC)));
	FUZZ_CHECK(r.magic == KRIX_MAGIC);
	FUZZ_CHECK(fds == (r.error == 0 ? 1 : 0));
	FUZZ_CHECK(r.error >= 0);
	if (r.error == 0)
		FUZZ_CHECK(r.port >= 1 && r.port <= PORTS);
	*port = r.port;
	return r.error;
}

void plug_close(Plug *plug)
{
	if (plug->data >= 0)
		close(plug->data);
	if (plug->ctl >= 0)
		close(plug->ctl);
	*plug = Plug{};
}

// What the switch must answer to this hello, given the ports taken: -1 for
// no answer at all.
int expected_answer(const uint8_t *hello, size_t len, bool port1_taken)
{
	KrixHello h;
	if (len != sizeof(h))
		return -1;
	memcpy(&h, hello, sizeof(h));
	if (h.magic != KRIX_MAGIC)
		return -1;
	if (h.version != KRIX_INTERFACE_VERSION)
		return EPROTONOSUPPORT;
	if (h.port < 0 || h.port > PORTS)
		return EINVAL;
	if (h.port == 1 && port1_taken)
		return EADDRINUSE;
	return 0;
}

// The other plug, attached with a good hello; it only listens.
void attach_listener(Plug *plug)
{
	KrixHello h = {};
	h.magic = KRIX_MAGIC;
	h.version = KRIX_INTERFACE_VERSION;
	plug->ctl = plug_connect();
	FUZZ_CHECK(send(plug->ctl, &h, sizeof(h), 0) == ssize_t(sizeof(h)));
	pump();
	int port = 0;
	FUZZ_CHECK(plug_reply(plug, &port) == 0 && port == 1);
}

uint64_t mac_of(const uint8_t *p)
{
	uint64_t m = 0;
	memcpy(&m, p, 6);
	return m;
}

// Checks what the listener received against the frames the plug sent: only
// frames of a carried size, in order, each whole, and at least those whose
// destination the switch cannot have learned on the plug's own port.
void check_forwarded(const std::vector<std::vector<uint8_t>> &frames, int listener)
{
	std::set<uint64_t> learned;
	size_t next = 0;
	uint8_t buf[2048];
	ssize_t n;
	while ((n = recv(listener, buf, sizeof(buf), MSG_DONTWAIT)) >= 0) {
		for (;; next++) {
			FUZZ_CHECK(next < frames.size());
			const std::vector<uint8_t> &f = frames[next];
			bool carried = f.size() >= KRIX_FRAME_MIN && f.size() <= KRIX_FRAME_MAX;
			if (carried && !(f[6] & 1))
				learned.insert(mac_of(&f[6]));
			bool must = carried && ((f[0] & 1) || !learned.count(mac_of(&f[0])));
			if (carried && size_t(n) == f.size() && memcmp(buf, f.data(), f.size()) == 0) {
				next++;
				break;
			}
			FUZZ_CHECK(!must);
		}
	}
	for (; next < frames.size(); next++) {
		const std::vector<uint8_t> &f = frames[next];
		bool carried = f.size() >= KRIX_FRAME_MIN && f.size() <= KRIX_FRAME_MAX;
		if (carried && !(f[6] & 1))
			learned.insert(mac_of(&f[6]));
		FUZZ_CHECK(!(carried && ((f[0] & 1) || !learned.count(mac_of(&f[0])))));
	}
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	signal(SIGPIPE, SIG_IGN);
	std::string dir = fuzz_temp_dir("fuzz_switch_ctl");
	fdb_init(AGEING_MS);
	port_init(PORTS);
	ctl_open(dir.c_str(), 0700, true);
	ctl_addr.sun_family = AF_UNIX;
	snprintf(ctl_addr.sun_path, sizeof(ctl_addr.sun_path), "%s/%s", dir.c_str(), KRIX_CTL_NAME);
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size < 1)
		return -1;
	uint8_t opts = data[0];
	data++;
	size--;
	const uint8_t *hello;
	size_t hello_len;
	if (!fuzz_take_record(&data, &size, &hello, &hello_len))
		return -1;

	Plug listener, plug;
	if (opts & 1)
		attach_listener(&listener);

	plug.ctl = plug_connect();
	FUZZ_CHECK(send(plug.ctl, hello, hello_len, 0) == ssize_t(hello_len));
	pump();
	int port = 0;
	int answer = plug_reply(&plug, &port);
	FUZZ_CHECK(answer == expected_answer(hello, hello_len, opts & 1));

	if (answer == 0) {
		if (opts & 4)
			FUZZ_CHECK(send(plug.ctl, "x", 1, MSG_DONTWAIT) == 1);
		std::vector<std::vector<uint8_t>> frames;
		const uint8_t *frame;
		size_t len;
		while (frames.size() < FRAMES_MAX && fuzz_take_record(&data, &size, &frame, &len))
			if (send(plug.data, frame, len, MSG_DONTWAIT) == ssize_t(len))
				frames.emplace_back(frame, frame + len);
		if (opts & 2) {
			close(plug.data);
			plug.data = -1;
		}
		pump();
		// At the switch's end an empty message and the end of a hung-up
		// channel read alike, so nothing after an empty frame is owed.
		if (opts & 2)
			for (size_t i = 0; i < frames.size(); i++)
				if (frames[i].empty())
					frames.resize(i);
		if (listener.data >= 0)
			check_forwarded(frames, listener.data);
		// The switch never sends a frame back out of the port it came in on.
		uint8_t byte;
		if (plug.data >= 0)
			FUZZ_CHECK(recv(plug.data, &byte, 1, MSG_DONTWAIT) < 0 && errno == EAGAIN);
	}

	// Once both plugs have gone, the switch holds no port and no connection.
	plug_close(&plug);
	plug_close(&listener);
	pump();
	struct pollfd pfd[POLL_MAX];
	PollRef ref[POLL_MAX];
	FUZZ_CHECK(ctl_poll_fill(pfd, ref) == 1);
	FUZZ_CHECK(port_poll_fill(pfd, ref) == 0);
	return 0;
}
