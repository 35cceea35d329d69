/*
 * traffic.cpp: the traffic ends of the VXLAN benchmark, one program with
 * four roles, so that every configuration is driven and counted by the
 * same code.
 *
 *   gen   a plug on the switch that sends frames from -S to -d
 *   count a plug that announces -S with one broadcast frame, then counts
 *         the frames addressed to -S
 *   sink  a UDP socket on the VXLAN port, joined to the group, that
 *         announces -S with one VXLAN broadcast to the group, then counts
 *         datagrams whose inner source is -F
 *   send  a UDP sender of VXLAN datagrams (inner -S to -d) to -D
 *
 * gen and send run for -t seconds, at -r frames per second or as fast as
 * they can (-r 0), and print "sent N SECONDS". count and sink print
 * "ready" once set up and "got N" when they receive SIGTERM.
 */
#include "krixplug.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr size_t HDR_LEN = 8;
constexpr size_t FRAME_MAX = 1526;
constexpr int BATCH = 64;
/* Paced senders catch up once a millisecond; the switch and the socket
 * buffers absorb bursts of that length at the rates used. */
constexpr long TICK_NS = 1000000;

struct Options {
	const char *dir = nullptr;
	const char *group = "239.1.1.1";
	const char *dest = nullptr;
	int port = 4879;
	int vni = 42;
	size_t size = 64;
	double secs = 2;
	double rate = 0;
	uint8_t src[6] = {2, 0, 0, 0, 1, 1};
	uint8_t dst[6] = {2, 0, 0, 0, 2, 1};
	uint8_t filter[6] = {2, 0, 0, 0, 1, 1};
};

volatile sig_atomic_t stop;

void on_term(int)
{
	stop = 1;
}

void catch_term(void)
{
	struct sigaction sa = {};
	sa.sa_handler = on_term;
	sigaction(SIGTERM, &sa, nullptr);
	sigaction(SIGINT, &sa, nullptr);
}

[[noreturn]] void fail(const char *what)
{
	fprintf(stderr, "vxlan_traffic: %s: %s\n", what, strerror(errno));
	exit(1);
}

double now_sec(void)
{
	struct timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

bool parse_mac(const char *s, uint8_t *mac)
{
	unsigned b[6];
	if (sscanf(s, "%x:%x:%x:%x:%x:%x", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5]) != 6)
		return false;
	for (int i = 0; i < 6; i++)
		mac[i] = uint8_t(b[i]);
	return true;
}

/* An Ethernet frame of the given size: dst, src, a local experimental
 * EtherType, then a fixed pattern. */
void make_frame(uint8_t *f, size_t size, const uint8_t *dst, const uint8_t *src)
{
	memset(f, 0xa5, size);
	memcpy(f, dst, 6);
	memcpy(f + 6, src, 6);
	f[12] = 0x88;
	f[13] = 0xb5;
}

void make_header(uint8_t *h, int vni)
{
	memset(h, 0, HDR_LEN);
	h[0] = 0x08;
	h[4] = uint8_t(vni >> 16);
	h[5] = uint8_t(vni >> 8);
	h[6] = uint8_t(vni);
}

KRIXCONN *plug_open(const char *dir, const char *descr)
{
	SwitchOpenArgs args = {0, nullptr, 0700};
	KRIXCONN *c = krix_open_real(dir, descr, 1, &args);
	if (c == nullptr)
		fail("krix_open_real");
	return c;
}

/*
 * Calls send_one until the time is up, either flat out or paced to rate
 * frames per second, and prints what was sent. Frames that send_one refuses
 * are not counted as sent.
 */
template <typename Send> void pump(const Options &o, Send send_one)
{
	unsigned long long sent = 0;
	double t0 = now_sec(), end = t0 + o.secs, t = t0;

	if (o.rate <= 0) {
		while (t < end) {
			for (int i = 0; i < BATCH; i++)
				sent += send_one();
			t = now_sec();
		}
	} else {
		struct timespec next;
		clock_gettime(CLOCK_MONOTONIC, &next);
		while (t < end) {
			unsigned long long due = (unsigned long long)((t - t0) * o.rate);
			while (sent < due)
				sent += send_one();
			next.tv_nsec += TICK_NS;
			if (next.tv_nsec >= 1000000000) {
				next.tv_nsec -= 1000000000;
				next.tv_sec++;
			}
			clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
			t = now_sec();
		}
	}
	printf("sent %llu %.6f\n", sent, t - t0);
}

int run_gen(const Options &o)
{
	KRIXCONN *c = plug_open(o.dir, "vxlan_traffic gen:");
	uint8_t f[FRAME_MAX];

	make_frame(f, o.size, o.dst, o.src);
	pump(o, [&] { return krix_send(c, f, o.size, 0) == ssize_t(o.size) ? 1 : 0; });
	krix_close(c);
	return 0;
}

void say_ready(void)
{
	printf("ready\n");
	fflush(stdout);
}

int run_count(const Options &o)
{
	KRIXCONN *c = plug_open(o.dir, "vxlan_traffic count:");
	static const uint8_t BCAST[6] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
	uint8_t f[2048];
	unsigned long long got = 0;

	catch_term();
	make_frame(f, 64, BCAST, o.src);
	if (krix_send(c, f, 64, 0) < 0)
		fail("krix_send");
	say_ready();
	struct pollfd p = {krix_datafd(c), POLLIN, 0};
	while (!stop) {
		if (poll(&p, 1, 100) <= 0)
			continue;
		ssize_t n;
		while ((n = krix_recv(c, f, sizeof(f), MSG_DONTWAIT)) >= 0)
			if (n >= 12 && memcmp(f, o.src, 6) == 0)
				got++;
	}
	printf("got %llu\n", got);
	krix_close(c);
	return 0;
}

struct sockaddr_in udp_addr(in_addr_t a, int port)
{
	struct sockaddr_in sa = {};
	sa.sin_family = AF_INET;
	sa.sin_port = htons(uint16_t(port));
	sa.sin_addr.s_addr = a;
	return sa;
}

int run_sink(const Options &o)
{
	int fd = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
	/* The sink measures; it must not be where frames are lost. */
	int big = 16 << 20, loop = 0, ttl = 1;
	struct sockaddr_in local = udp_addr(htonl(INADDR_ANY), o.port);
	struct ip_mreq mreq = {};

	catch_term();
	if (fd < 0)
		fail("socket");
	if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof(big)) < 0)
		setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof(big));
	setsockopt(fd, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof(loop));
	setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof(ttl));
	if (bind(fd, reinterpret_cast<struct sockaddr *>(&local), sizeof(local)) < 0)
		fail("bind");
	mreq.imr_multiaddr.s_addr = inet_addr(o.group);
	if (setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof(mreq)) < 0)
		fail("IP_ADD_MEMBERSHIP");

	/* The announcement teaches the relay and the switch where -S lives. */
	static const uint8_t BCAST[6] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
	uint8_t hello[HDR_LEN + 64];
	make_header(hello, o.vni);
	make_frame(hello + HDR_LEN, 64, BCAST, o.src);
	struct sockaddr_in to = udp_addr(inet_addr(o.group), o.port);
	if (sendto(fd, hello, sizeof(hello), 0, reinterpret_cast<struct sockaddr *>(&to),
		   sizeof(to)) < 0)
		fail("sendto");
	say_ready();

	static uint8_t buf[BATCH][2048];
	struct mmsghdr msg[BATCH] = {};
	struct iovec iov[BATCH];
	for (int i = 0; i < BATCH; i++) {
		iov[i] = {buf[i], sizeof(buf[i])};
		msg[i].msg_hdr.msg_iov = &iov[i];
		msg[i].msg_hdr.msg_iovlen = 1;
	}
	unsigned long long got = 0;
	struct pollfd p = {fd, POLLIN, 0};
	while (!stop) {
		if (poll(&p, 1, 100) <= 0)
			continue;
		int n = recvmmsg(fd, msg, BATCH, MSG_DONTWAIT, nullptr);
		for (int i = 0; i < n; i++)
			if (msg[i].msg_len >= HDR_LEN + 12 &&
			    memcmp(buf[i] + HDR_LEN + 6, o.filter, 6) == 0)
				got++;
	}
	printf("got %llu\n", got);
	return 0;
}

int run_send(const Options &o)
{
	int fd = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
	uint8_t d[HDR_LEN + FRAME_MAX];
	struct sockaddr_in to = udp_addr(inet_addr(o.dest), o.port);

	if (fd < 0)
		fail("socket");
	make_header(d, o.vni);
	make_frame(d + HDR_LEN, o.size, o.dst, o.src);
	size_t len = HDR_LEN + o.size;
	pump(o, [&] {
		return sendto(fd, d, len, 0, reinterpret_cast<struct sockaddr *>(&to), sizeof(to)) ==
				       ssize_t(len)
			       ? 1
			       : 0;
	});
	return 0;
}

[[noreturn]] void usage(void)
{
	fprintf(stderr,
		"usage: vxlan_traffic gen|count|sink|send [-s DIR] [-A GROUP] [-D DEST] [-P PORT]\n"
		"       [-I VNI] [-n SIZE] [-t SECONDS] [-r RATE] [-S MAC] [-d MAC] [-F MAC]\n");
	exit(1);
}

} // namespace

int main(int argc, char **argv)
{
	Options o;
	int c;

	if (argc < 2)
		usage();
	const char *role = argv[1];
	optind = 2;
	while ((c = getopt(argc, argv, "s:A:D:P:I:n:t:r:S:d:F:")) != -1) {
		switch (c) {
		case 's': o.dir = optarg; break;
		case 'A': o.group = optarg; break;
		case 'D': o.dest = optarg; break;
		case 'P': o.port = atoi(optarg); break;
		case 'I': o.vni = atoi(optarg); break;
		case 'n': o.size = size_t(atol(optarg)); break;
		case 't': o.secs = atof(optarg); break;
		case 'r': o.rate = atof(optarg); break;
		case 'S': if (!parse_mac(optarg, o.src)) usage(); break;
		case 'd': if (!parse_mac(optarg, o.dst)) usage(); break;
		case 'F': if (!parse_mac(optarg, o.filter)) usage(); break;
		default: usage();
		}
	}
	if (o.size < 14 || o.size > FRAME_MAX)
		usage();
	setvbuf(stdout, nullptr, _IOLBF, 0);
	if (strcmp(role, "gen") == 0 && o.dir)
		return run_gen(o);
	if (strcmp(role, "count") == 0 && o.dir)
		return run_count(o);
	if (strcmp(role, "sink") == 0)
		return run_sink(o);
	if (strcmp(role, "send") == 0 && o.dest)
		return run_send(o);
	usage();
}
