/*
 * port.cpp: ports and forwarding. Every send is nonblocking: a plug that does
 * not read loses the frames meant for it (counted), and the other ports
 * never wait for it. Frames are read in batches into buffers allocated once;
 * a batch is learned and looked up frame by frame, then sent with one
 * sendmmsg per output plug, so each plug sees the frames in arrival order.
 */
#include "port.h"

#include "fdb.h"
#include "log.h"
#include "tap.h"
#include "../krixplug/krix_wire.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

enum PortKind { PORT_FREE, PORT_PLUG, PORT_TAP };

struct Port {
	PortKind kind;
	bool     dead; /* failed while forwarding; freed by port_reap */
	int      ctl;  /* plug: the switch's end of the control connection */
	int      data; /* plug: the switch's end of the data channel; TAP: its fd */
	int      pid;
	char     name[KRIX_DESCR_LEN];
	uint64_t rx, tx, tx_drop, rx_bad;
};

/* Large buffers absorb bursts: a plug that is briefly late loses nothing. */
constexpr int CHANNEL_BUF = 2 << 20;
constexpr int RX_BATCH = 32;
/* Room beyond the largest carried frame shows a TAP frame that is too long. */
constexpr size_t RX_BUF = 2048;

Port *ports; /* ports[1..port_n]; ports[0] is unused */
int port_n;
bool port_any_dead;

/* Where a frame of the batch goes: a port, everywhere else, or nowhere. */
constexpr int OUT_FLOOD = 0;
constexpr int OUT_NONE = -1;

struct mmsghdr rx_msg[RX_BATCH];
struct iovec rx_iov[RX_BATCH];
uint8_t rx_buf[RX_BATCH][RX_BUF];
size_t rx_len[RX_BATCH];
int rx_out[RX_BATCH];

/* The frames of the batch bound for one port, pointing into rx_buf. */
struct mmsghdr tx_msg[RX_BATCH];
struct iovec tx_iov[RX_BATCH];

void port_set_buffer(int fd, int opt_force, int opt)
{
	int size = CHANNEL_BUF;

	if (setsockopt(fd, SOL_SOCKET, opt_force, &size, sizeof(size)) < 0)
		setsockopt(fd, SOL_SOCKET, opt, &size, sizeof(size));
}

/* A send that failed for want of room costs the frame; any other failure
 * means the plug is gone, and the port is freed after this pass. */
void port_send_failed(Port &pt, int err)
{
	if (pt.kind == PORT_PLUG && err != EAGAIN && err != EWOULDBLOCK && err != ENOBUFS &&
	    err != EINTR) {
		pt.dead = true;
		port_any_dead = true;
	}
}

/* Sends the frames of the batch from port in that are bound for port p,
 * without ever waiting: what does not fit now is dropped and counted. */
void port_send_batch(int p, int in, int n)
{
	Port &pt = ports[p];
	unsigned k = 0;

	for (int i = 0; i < n; i++)
		if (rx_out[i] == p || (rx_out[i] == OUT_FLOOD && p != in))
			tx_iov[k++] = {rx_buf[i], rx_len[i]};
	if (k == 0)
		return;
	if (pt.kind == PORT_TAP) {
		/* A TAP descriptor takes one frame per write. */
		for (unsigned i = 0; i < k; i++) {
			if (tap_write(pt.data, tx_iov[i].iov_base, tx_iov[i].iov_len) >= 0) {
				pt.tx++;
			} else {
				pt.tx_drop++;
				port_send_failed(pt, errno);
			}
		}
		return;
	}
	int sent = sendmmsg(pt.data, tx_msg, k, MSG_DONTWAIT | MSG_NOSIGNAL);
	if (sent < 0) {
		port_send_failed(pt, errno);
		sent = 0;
	}
	pt.tx += (unsigned)sent;
	pt.tx_drop += k - (unsigned)sent;
}

/* Learns the source of one frame from port in and says where it goes.
 * Frames outside the carried sizes are counted and go nowhere. */
int port_classify(int in, const uint8_t *frame, size_t len, int64_t now_ms)
{
	if (len < KRIX_FRAME_MIN || len > KRIX_FRAME_MAX) {
		ports[in].rx_bad++;
		log_line(LOG_DEBUG, "port %d: dropped a frame of %zu bytes", in, len);
		return OUT_NONE;
	}
	ports[in].rx++;
	/* A group address is never a source; learning it would steer frames
	 * for the group to one port. */
	if (!(frame[6] & 1))
		fdb_learn(frame + 6, in, now_ms);
	int out = (frame[0] & 1) ? OUT_FLOOD : fdb_lookup(frame, now_ms);
	return out == in ? OUT_NONE : out;
}

bool port_takes(int p)
{
	return ports[p].kind != PORT_FREE && !ports[p].dead;
}

/*
 * Forwards the first n frames of rx_buf, which came in on port in. All of
 * the batch is learned before anything is sent, which decides every frame
 * exactly as forwarding them one at a time would, as nothing is learned
 * from the sends. Then each output port gets its frames in one go.
 */
void port_forward_batch(int in, int n, int64_t now_ms)
{
	int dest[RX_BATCH], ndest = 0;
	bool flood = false;

	for (int i = 0; i < n; i++) {
		int out = port_classify(in, rx_buf[i], rx_len[i], now_ms);
		rx_out[i] = out;
		if (out == OUT_FLOOD)
			flood = true;
		else if (out > 0 && std::find(dest, dest + ndest, out) == dest + ndest)
			dest[ndest++] = out;
	}
	if (flood) {
		for (int p = 1; p <= port_n; p++)
			if (p != in && port_takes(p))
				port_send_batch(p, in, n);
		return;
	}
	for (int d = 0; d < ndest; d++)
		if (port_takes(dest[d]))
			port_send_batch(dest[d], in, n);
}

/* Reads a batch of frames from plug p. At the plug's end a seqpacket
 * socket yields empty messages, which with hup set mean it has gone.
 * Returns true when the batch was full, so that more may be waiting. */
bool port_read_plug(int p, bool hup)
{
	int n = recvmmsg(ports[p].data, rx_msg, RX_BATCH, MSG_DONTWAIT, nullptr);
	bool gone = false;

	if (n < 0 && errno == ECONNRESET) {
		/* A plug that closes with frames from us still unread makes the
		 * kernel report a reset ahead of the frames it sent before
		 * closing. The report is consumed now; those frames are still
		 * queued, so read on and end the port only at their end. */
		hup = true;
		n = recvmmsg(ports[p].data, rx_msg, RX_BATCH, MSG_DONTWAIT, nullptr);
	}
	if (n < 0) {
		if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
			port_detach(p, strerror(errno));
		else if (hup)
			port_detach(p, "plug hung up");
		return false;
	}
	for (int i = 0; i < n; i++) {
		rx_len[i] = rx_msg[i].msg_len;
		if (rx_msg[i].msg_hdr.msg_flags & MSG_TRUNC)
			rx_len[i] = RX_BUF;
		rx_msg[i].msg_hdr.msg_flags = 0;
		if (rx_len[i] == 0 && hup) {
			gone = true;
			n = i;
			break;
		}
	}
	/* Frames the plug sent before it hung up are still delivered. */
	port_forward_batch(p, n, port_now_ms());
	if (gone)
		port_detach(p, "plug hung up");
	return !gone && n == RX_BATCH;
}

void port_read_tap(int p)
{
	int n = 0;

	while (n < RX_BATCH) {
		ssize_t r = tap_read(ports[p].data, rx_buf[n], RX_BUF);
		if (r < 0) {
			if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
				log_line(LOG_WARNING, "port %d: read(%s): %s", p, ports[p].name,
					 strerror(errno));
			break;
		}
		rx_len[n++] = (size_t)r;
	}
	port_forward_batch(p, n, port_now_ms());
}

int port_free_slot(int want)
{
	if (want < 0 || want > port_n)
		return -EINVAL;
	if (want > 0)
		return ports[want].kind == PORT_FREE ? want : -EADDRINUSE;
	for (int p = 1; p <= port_n; p++)
		if (ports[p].kind == PORT_FREE)
			return p;
	return -EBUSY;
}

/* Descriptions come from any local user; keep the log to printable text. */
void port_set_name(Port &pt, const char *name)
{
	snprintf(pt.name, sizeof(pt.name), "%s", name);
	for (char *c = pt.name; *c; c++)
		if (*c < 0x20 || *c > 0x7e)
			*c = '?';
}

} // namespace

int64_t port_now_ms(void)
{
	struct timespec ts;

	clock_gettime(CLOCK_MONOTONIC, &ts);
	return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

void port_init(int nports)
{
	port_n = nports;
	ports = static_cast<Port *>(calloc((size_t)nports + 1, sizeof(Port)));
	if (ports == nullptr) {
		log_line(LOG_ERR, "calloc(): %s", strerror(errno));
		exit(1);
	}
	for (int i = 0; i < RX_BATCH; i++) {
		rx_iov[i] = {rx_buf[i], RX_BUF};
		rx_msg[i].msg_hdr.msg_iov = &rx_iov[i];
		rx_msg[i].msg_hdr.msg_iovlen = 1;
		tx_msg[i].msg_hdr.msg_iov = &tx_iov[i];
		tx_msg[i].msg_hdr.msg_iovlen = 1;
	}
}

int port_count(void)
{
	return port_n;
}

int port_attach_plug(int want, int ctl, int *plug_fd, const char *descr, int pid)
{
	int p = port_free_slot(want);
	int sv[2];

	if (p < 0)
		return p;
	if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv) < 0)
		return -errno;
	fcntl(sv[0], F_SETFL, O_NONBLOCK);
	port_set_buffer(sv[0], SO_SNDBUFFORCE, SO_SNDBUF);
	port_set_buffer(sv[1], SO_SNDBUFFORCE, SO_SNDBUF);
	Port &pt = ports[p];
	pt = Port{};
	pt.kind = PORT_PLUG;
	pt.ctl = ctl;
	pt.data = sv[0];
	pt.pid = pid;
	port_set_name(pt, descr);
	*plug_fd = sv[1];
	return p;
}

int port_attach_tap(const char *name)
{
	int p = port_free_slot(0);
	int fd;

	if (p < 0) {
		errno = -p;
		return -1;
	}
	fd = tap_open(name);
	if (fd < 0)
		return -1;
	Port &pt = ports[p];
	pt = Port{};
	pt.kind = PORT_TAP;
	pt.ctl = -1;
	pt.data = fd;
	port_set_name(pt, name);
	return p;
}

void port_detach(int p, const char *why)
{
	Port &pt = ports[p];

	if (pt.kind == PORT_FREE)
		return;
	log_line(LOG_INFO,
		 "port %d (%s, pid %d) detached: %s; rx %llu tx %llu dropped %llu bad %llu", p,
		 pt.name, pt.pid, why, (unsigned long long)pt.rx, (unsigned long long)pt.tx,
		 (unsigned long long)pt.tx_drop, (unsigned long long)pt.rx_bad);
	close(pt.data);
	if (pt.ctl >= 0)
		close(pt.ctl);
	pt = Port{};
	fdb_forget_port(p);
}

void port_detach_all(void)
{
	for (int p = 1; p <= port_n; p++)
		port_detach(p, "switch stopping");
}

void port_reap(void)
{
	if (!port_any_dead)
		return;
	port_any_dead = false;
	for (int p = 1; p <= port_n; p++)
		if (ports[p].dead)
			port_detach(p, "send failed");
}

int port_poll_fill(struct pollfd *pfd, PollRef *ref)
{
	int n = 0;

	for (int p = 1; p <= port_n; p++) {
		if (ports[p].kind == PORT_FREE)
			continue;
		pfd[n] = {ports[p].data, POLLIN, 0};
		ref[n++] = {POLL_PORT, p, false};
		if (ports[p].kind == PORT_PLUG) {
			pfd[n] = {ports[p].ctl, POLLIN, 0};
			ref[n++] = {POLL_PORT, p, true};
		}
	}
	return n;
}

void port_poll_handle(const struct pollfd &pfd, const PollRef &ref)
{
	int p = ref.index;
	char c;

	/* The port may have changed hands earlier in this pass. */
	if (pfd.fd != (ref.ctl ? ports[p].ctl : ports[p].data) || ports[p].kind == PORT_FREE)
		return;
	if (ports[p].kind == PORT_TAP) {
		port_read_tap(p);
		return;
	}
	/* A plug has nothing to say on its control connection; anything read
	 * there is dropped, and the end of it is the plug leaving. */
	if (ref.ctl) {
		ssize_t n = recv(pfd.fd, &c, 1, MSG_DONTWAIT);
		if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
			/* Frames the plug sent before it left may still wait on
			 * its data channel; they are delivered first. */
			while (port_read_plug(p, true))
				;
			if (ports[p].kind != PORT_FREE)
				port_detach(p, "plug closed");
		}
		return;
	}
	port_read_plug(p, pfd.revents & (POLLHUP | POLLERR));
}
