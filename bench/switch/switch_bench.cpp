/*
 * switch_bench.cpp: frames per second between two plugs through a real
 * krix_switch, and the switch's CPU time per frame, at 64 and 1500 bytes
 * (or the sizes given as arguments). Unix sockets only.
 *
 * Usage: krix_switch_bench [-t SECONDS] [SIZE...]
 */
#include "krixplug.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

const uint8_t MAC_S[6] = {2, 0, 0, 0, 0, 0x51};
const uint8_t MAC_R[6] = {2, 0, 0, 0, 0, 0x52};

double now_sec(void)
{
	return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
		.count();
}

/* utime + stime of a process, in seconds. */
double cpu_sec(pid_t pid)
{
	char path[64], buf[1024];
	snprintf(path, sizeof(path), "/proc/%d/stat", (int)pid);
	FILE *f = fopen(path, "r");
	if (f == nullptr || fgets(buf, sizeof(buf), f) == nullptr)
		abort();
	fclose(f);
	/* Fields 14 and 15, counted after the ")" that ends the name. */
	const char *p = strrchr(buf, ')') + 2;
	unsigned long ut = 0, st = 0;
	sscanf(p, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &ut, &st);
	return (double)(ut + st) / (double)sysconf(_SC_CLK_TCK);
}

pid_t start_switch(const std::string &dir)
{
	pid_t pid = fork();
	if (pid == 0) {
		int null = open("/dev/null", O_WRONLY);
		dup2(null, STDERR_FILENO);
		std::string bin = std::string(KRIX_BUILD_DIR) + "/krix_switch";
		execl(bin.c_str(), bin.c_str(), "-s", dir.c_str(), (char *)nullptr);
		_exit(127);
	}
	return pid;
}

KRIXCONN *open_plug(const std::string &dir)
{
	SwitchOpenArgs args = {0, nullptr, 0700};
	for (int i = 0; i < 300; i++) {
		KRIXCONN *c = krix_open_real(dir.c_str(), "bench:", 1, &args);
		if (c != nullptr)
			return c;
		std::this_thread::sleep_for(std::chrono::milliseconds(10));
	}
	fprintf(stderr, "krix_switch_bench: no switch at %s: %s\n", dir.c_str(), strerror(errno));
	exit(1);
}

/* The sender: blocking sends for secs seconds; writes its count to fd. */
[[noreturn]] void sender(KRIXCONN *s, size_t size, double secs, int fd)
{
	std::vector<uint8_t> f(size, 0xa5);
	memcpy(f.data(), MAC_R, 6);
	memcpy(f.data() + 6, MAC_S, 6);
	unsigned long long sent = 0;
	double end = now_sec() + secs;
	while (true) {
		for (int i = 0; i < 256; i++)
			if (krix_send(s, f.data(), f.size(), 0) == (ssize_t)f.size())
				sent++;
		if (now_sec() >= end)
			break;
	}
	if (write(fd, &sent, sizeof(sent)) != sizeof(sent))
		_exit(1);
	_exit(0);
}

void run(const std::string &dir, pid_t sw, size_t size, double secs)
{
	KRIXCONN *s = open_plug(dir), *r = open_plug(dir);
	std::vector<uint8_t> buf(2048), hello(64, 0);
	/* The receiver speaks first, so the switch knows where MAC_R lives and
	 * the run measures unicast forwarding rather than flooding. */
	memset(hello.data(), 0xff, 6);
	memcpy(hello.data() + 6, MAC_R, 6);
	krix_send(r, hello.data(), hello.size(), 0);
	krix_recv(s, buf.data(), buf.size(), 0);

	int pfd[2];
	if (pipe(pfd) < 0)
		exit(1);
	double cpu0 = cpu_sec(sw), t0 = now_sec();
	pid_t child = fork();
	if (child == 0)
		sender(s, size, secs, pfd[1]);
	unsigned long long got = 0;
	struct pollfd p = {krix_datafd(r), POLLIN, 0};
	while (poll(&p, 1, 200) == 1) {
		while (krix_recv(r, buf.data(), buf.size(), MSG_DONTWAIT) > 0)
			got++;
	}
	unsigned long long sent = 0;
	if (read(pfd[0], &sent, sizeof(sent)) != sizeof(sent))
		exit(1);
	waitpid(child, nullptr, 0);
	/* The last 200 ms waited for stragglers and are not counted as time. */
	double t = now_sec() - t0 - 0.2, cpu = cpu_sec(sw) - cpu0;
	printf("%5zu bytes: sent %10.0f frames/s, delivered %10.0f frames/s (%.2f%% lost), "
	       "%.0f MB/s, switch CPU %.2f us/frame (%.0f%% of a core)\n",
	       size, sent / t, got / t, sent ? 100.0 * (double)(sent - got) / (double)sent : 0.0,
	       got * size / t / 1e6, sent ? cpu * 1e6 / (double)sent : 0.0, 100 * cpu / t);
	close(pfd[0]);
	close(pfd[1]);
	krix_close(s);
	krix_close(r);
}

} // namespace

int main(int argc, char **argv)
{
	double secs = 2;
	std::vector<size_t> sizes;
	int c;

	while ((c = getopt(argc, argv, "t:")) != -1) {
		if (c != 't') {
			fprintf(stderr, "usage: krix_switch_bench [-t SECONDS] [SIZE...]\n");
			return 1;
		}
		secs = atof(optarg);
	}
	for (int i = optind; i < argc; i++)
		sizes.push_back((size_t)atol(argv[i]));
	if (sizes.empty())
		sizes = {64, 1500};
	signal(SIGPIPE, SIG_IGN);
	char tmpl[] = "/tmp/krix_switch_bench.XXXXXX";
	if (mkdtemp(tmpl) == nullptr)
		return 1;
	std::string dir = std::string(tmpl) + "/sw";
	pid_t sw = start_switch(dir);
	printf("krix_switch pid %d, %.1f s per size, one sender and one receiver plug, "
	       "%ld CPUs\n", (int)sw, secs, sysconf(_SC_NPROCESSORS_ONLN));
	for (size_t size : sizes)
		run(dir, sw, size, secs);
	kill(sw, SIGTERM);
	waitpid(sw, nullptr, 0);
	rmdir(tmpl);
	return 0;
}
