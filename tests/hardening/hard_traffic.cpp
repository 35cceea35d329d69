// hard_traffic: the traffic of the hardening tests. It makes Ethernet frames
// with random (or fixed) MAC addresses and puts them on one side of a bridge:
//
//   hard_traffic plug -s DIR [common options]
//       into a krix_switch, as one plug;
//   hard_traffic udp -a ADDR [-P PORT] [-I VNI] [-F FLAGS] [common options]
//       as VXLAN datagrams to ADDR:PORT, from the namespace it runs in;
//   hard_traffic listen -a GROUP [-P PORT] [-d DST] -t SECONDS
//       counts the VXLAN datagrams that arrive at PORT (by unicast or to
//       GROUP), only those whose inner destination is DST when -d is given.
//
// Common options: -d DST (inner destination, ff:ff:ff:ff:ff:ff by default),
// -S SRC (a fixed source; random locally administered unicast addresses
// otherwise), -c MAC (the source of the very first frame, so that a test can
// find one address of a random flood again), -t SECONDS and -n COUNT (stop
// after whichever comes first), -r RATE (frames per second; as fast as
// possible when absent), -e ETHERTYPE (0x88b5, local experimental, by
// default). -F takes a comma-separated list of flags bytes that
// the datagrams cycle through (0x08 by default).
//
// At the end one line "sent N" (or "received N") goes to standard output.
#include "krixplug.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <getopt.h>
#include <netinet/in.h>
#include <poll.h>
#include <random>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr size_t MAC_LEN = 6;
constexpr size_t VXLAN_HDR = 8;
// A minimal Ethernet frame without its checksum: two addresses, an
// EtherType and zero padding.
constexpr size_t FRAME_LEN = 60;
constexpr int FLAGS_MAX = 16;

struct Options {
	const char *mode = nullptr;
	const char *dir = nullptr;
	const char *addr = nullptr;
	int port = 4879;
	int vni = 42;
	uint8_t dst[MAC_LEN] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
	bool dst_given = false;
	uint8_t src[MAC_LEN] = {};
	bool src_fixed = false;
	uint8_t canary[MAC_LEN] = {};
	bool canary_given = false;
	double seconds = -1;
	long count = -1;
	double rate = 0;
	uint16_t ethertype = 0x88b5;
	uint8_t flags[FLAGS_MAX] = {0x08};
	int nflags = 1;
};

Options opt;
std::mt19937_64 traffic_rng;

[[noreturn]] void traffic_usage(void)
{
	fputs("usage: hard_traffic plug|udp|listen [-s DIR] [-a ADDR] [-P PORT] [-I VNI]\n"
	      "       [-d DST] [-S SRC] [-c MAC] [-t SECONDS] [-n COUNT] [-r RATE] [-e ETHERTYPE]\n"
	      "       [-F FLAGS]\n",
	      stderr);
	exit(2);
}

bool traffic_parse_mac(const char *s, uint8_t *mac)
{
	unsigned b[MAC_LEN];
	char tail;
	if (sscanf(s, "%x:%x:%x:%x:%x:%x%c", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5], &tail) != 6)
		return false;
	for (size_t i = 0; i < MAC_LEN; i++) {
		if (b[i] > 0xff)
			return false;
		mac[i] = uint8_t(b[i]);
	}
	return true;
}

void traffic_parse_flags(char *list)
{
	opt.nflags = 0;
	for (char *tok = strtok(list, ","); tok && opt.nflags < FLAGS_MAX; tok = strtok(nullptr, ","))
		opt.flags[opt.nflags++] = uint8_t(strtoul(tok, nullptr, 0));
	if (opt.nflags == 0)
		traffic_usage();
}

void traffic_options(int argc, char **argv)
{
	int c;
	if (argc < 2)
		traffic_usage();
	opt.mode = argv[1];
	optind = 2;
	while ((c = getopt(argc, argv, "s:a:P:I:d:S:c:t:n:r:e:F:")) != -1) {
		switch (c) {
		case 's': opt.dir = optarg; break;
		case 'a': opt.addr = optarg; break;
		case 'P': opt.port = atoi(optarg); break;
		case 'I': opt.vni = atoi(optarg); break;
		case 'd':
			if (!traffic_parse_mac(optarg, opt.dst))
				traffic_usage();
			opt.dst_given = true;
			break;
		case 'S':
			if (!traffic_parse_mac(optarg, opt.src))
				traffic_usage();
			opt.src_fixed = true;
			break;
		case 'c':
			if (!traffic_parse_mac(optarg, opt.canary))
				traffic_usage();
			opt.canary_given = true;
			break;
		case 't': opt.seconds = atof(optarg); break;
		case 'n': opt.count = atol(optarg); break;
		case 'r': opt.rate = atof(optarg); break;
		case 'e': opt.ethertype = uint16_t(strtoul(optarg, nullptr, 0)); break;
		case 'F': traffic_parse_flags(optarg); break;
		default: traffic_usage();
		}
	}
}

double traffic_now(void)
{
	struct timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// Random unicast, locally administered, so that no address of a flood can
// be a group address or clash with a real interface.
void traffic_random_mac(uint8_t *mac)
{
	uint64_t r = traffic_rng();
	memcpy(mac, &r, MAC_LEN);
	mac[0] = uint8_t((mac[0] & 0xfc) | 0x02);
}

// Fills frame with the next frame's addresses; n counts the frames made.
void traffic_fill_frame(uint8_t *frame, long n)
{
	memcpy(frame, opt.dst, MAC_LEN);
	if (n == 0 && opt.canary_given)
		memcpy(frame + MAC_LEN, opt.canary, MAC_LEN);
	else if (opt.src_fixed)
		memcpy(frame + MAC_LEN, opt.src, MAC_LEN);
	else
		traffic_random_mac(frame + MAC_LEN);
	frame[12] = uint8_t(opt.ethertype >> 8);
	frame[13] = uint8_t(opt.ethertype & 0xff);
}

bool traffic_done(long sent, double start)
{
	if (opt.count >= 0 && sent >= opt.count)
		return true;
	return opt.seconds >= 0 && traffic_now() - start >= opt.seconds;
}

// Holds frame number n back until its turn when a rate was asked for.
void traffic_pace(long n, double start)
{
	if (opt.rate <= 0)
		return;
	double due = start + double(n) / opt.rate, wait = due - traffic_now();
	if (wait > 0) {
		struct timespec ts = {time_t(wait), long((wait - double(time_t(wait))) * 1e9)};
		nanosleep(&ts, nullptr);
	}
}

// Reads and drops what the switch sends for a while before closing. A plug
// that closes with frames of the switch still unread makes the switch's
// next receive fail with ECONNRESET, and the switch then drops the frames of
// ours it had not yet taken; after a pause it has taken them all.
void traffic_plug_linger(KRIXCONN *conn)
{
	uint8_t buf[2048];
	double end = traffic_now() + 0.2;
	for (double left; (left = end - traffic_now()) > 0;) {
		struct pollfd pfd = {krix_datafd(conn), POLLIN, 0};
		if (poll(&pfd, 1, int(left * 1000) + 1) > 0 &&
		    krix_recv(conn, buf, sizeof(buf), MSG_DONTWAIT) <= 0 && errno != EAGAIN)
			break;
	}
}

int traffic_plug(void)
{
	SwitchOpenArgs args = {0, nullptr, 0700};
	KRIXCONN *conn = krix_open_real(opt.dir, "hard_traffic", KRIX_INTERFACE_VERSION, &args);
	if (!conn) {
		fprintf(stderr, "hard_traffic: krix_open(\"%s\"): %s\n", opt.dir ? opt.dir : "", strerror(errno));
		return 1;
	}
	uint8_t frame[FRAME_LEN] = {};
	long sent = 0, failed = 0;
	double start = traffic_now();
	for (long n = 0; !traffic_done(sent, start); n++) {
		traffic_pace(n, start);
		traffic_fill_frame(frame, n);
		if (krix_send(conn, frame, sizeof(frame), 0) < 0) {
			if (errno == EPIPE)
				break;
			failed++;
			continue;
		}
		sent++;
	}
	traffic_plug_linger(conn);
	krix_close(conn);
	printf("sent %ld\n", sent);
	if (failed)
		fprintf(stderr, "hard_traffic: %ld sends failed\n", failed);
	return 0;
}

void traffic_vxlan_header(uint8_t *buf, long n)
{
	memset(buf, 0, VXLAN_HDR);
	buf[0] = opt.flags[n % opt.nflags];
	buf[4] = uint8_t(opt.vni >> 16);
	buf[5] = uint8_t(opt.vni >> 8);
	buf[6] = uint8_t(opt.vni);
}

int traffic_udp(void)
{
	struct sockaddr_in to = {};
	to.sin_family = AF_INET;
	to.sin_port = htons(uint16_t(opt.port));
	if (!opt.addr || inet_pton(AF_INET, opt.addr, &to.sin_addr) != 1)
		traffic_usage();
	int fd = socket(AF_INET, SOCK_DGRAM, 0);
	if (fd < 0) {
		perror("hard_traffic: socket()");
		return 1;
	}
	uint8_t buf[VXLAN_HDR + FRAME_LEN] = {};
	long sent = 0, failed = 0;
	double start = traffic_now();
	for (long n = 0; !traffic_done(sent, start); n++) {
		traffic_pace(n, start);
		traffic_vxlan_header(buf, n);
		traffic_fill_frame(buf + VXLAN_HDR, n);
		if (sendto(fd, buf, sizeof(buf), 0, reinterpret_cast<struct sockaddr *>(&to), sizeof(to)) < 0) {
			failed++;
			continue;
		}
		sent++;
	}
	close(fd);
	printf("sent %ld\n", sent);
	if (failed)
		fprintf(stderr, "hard_traffic: %ld sends failed\n", failed);
	return 0;
}

int traffic_listen(void)
{
	struct sockaddr_in at = {};
	at.sin_family = AF_INET;
	at.sin_port = htons(uint16_t(opt.port));
	struct ip_mreq mreq = {};
	if (!opt.addr || inet_pton(AF_INET, opt.addr, &mreq.imr_multiaddr) != 1 || opt.seconds < 0)
		traffic_usage();
	int fd = socket(AF_INET, SOCK_DGRAM, 0);
	if (fd < 0 || bind(fd, reinterpret_cast<struct sockaddr *>(&at), sizeof(at)) < 0 ||
	    setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof(mreq)) < 0) {
		perror("hard_traffic: listen");
		return 1;
	}
	// Readiness for the script that waits for this line before it sends.
	fprintf(stderr, "hard_traffic: listening\n");
	long received = 0;
	double end = traffic_now() + opt.seconds;
	for (double left; (left = end - traffic_now()) > 0;) {
		struct pollfd pfd = {fd, POLLIN, 0};
		if (poll(&pfd, 1, int(left * 1000) + 1) <= 0)
			continue;
		uint8_t buf[2048];
		ssize_t n = recv(fd, buf, sizeof(buf), 0);
		if (n < ssize_t(VXLAN_HDR + 2 * MAC_LEN))
			continue;
		if (!opt.dst_given || memcmp(buf + VXLAN_HDR, opt.dst, MAC_LEN) == 0)
			received++;
	}
	close(fd);
	printf("received %ld\n", received);
	return 0;
}

} // namespace

int main(int argc, char **argv)
{
	traffic_options(argc, argv);
	traffic_rng.seed(uint64_t(traffic_now() * 1e9) ^ uint64_t(getpid()));
	setvbuf(stdout, nullptr, _IOLBF, 0);
	if (strcmp(opt.mode, "plug") == 0)
		return traffic_plug();
	if (strcmp(opt.mode, "udp") == 0)
		return traffic_udp();
	if (strcmp(opt.mode, "listen") == 0)
		return traffic_listen();
	traffic_usage();
}
