/*
 * krix_plug: one plug of a krix_switch driven from a shell. Frames read on
 * standard input, one per line as hex bytes, go to the switch; each frame
 * from the switch is printed as one line of hex. Meant for tests and for
 * looking at what a switch carries.
 */
#define _GNU_SOURCE
#include "krixplug.h"

#include <errno.h>
#include <getopt.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#define LINE_MAX_BYTES 65536
#define FRAME_BUF 65536

static const struct option LONG_OPTIONS[] = {
	{"sock", required_argument, NULL, 's'},
	{"port", required_argument, NULL, 'p'},
	{"count", required_argument, NULL, 'n'},
	{"wait", required_argument, NULL, 'w'},
	{"descr", required_argument, NULL, 'D'},
	{"eof", no_argument, NULL, 'e'},
	{"verbose", no_argument, NULL, 'v'},
	{"help", no_argument, NULL, 'h'},
	{NULL, 0, NULL, 0},
};

static void usage(FILE *f)
{
	fputs("Usage: krix_plug [-ehv] [-s DIR] [-p PORT] [-n COUNT] [-w SECONDS] [-D TEXT]\n"
	      "  -s, --sock DIR       switch directory (default " KRIX_DEFAULT_DIR ")\n"
	      "  -p, --port PORT      switch port to ask for (default 0: first free)\n"
	      "  -n, --count COUNT    exit after receiving COUNT frames\n"
	      "  -w, --wait SECONDS   exit after SECONDS\n"
	      "  -e, --eof            exit once standard input has ended\n"
	      "  -D, --descr TEXT     description given to the switch (default krix_plug)\n"
	      "  -v, --verbose        say on standard error when attached\n"
	      "  -h, --help           show this help\n"
	      "Input: one frame per line, hex bytes; spaces, ':' and '-' may separate them,\n"
	      "a line starting with '#' is ignored. Output: one line of hex per frame.\n"
	      "Exit status 1 when -n was given and fewer frames arrived.\n",
	      f);
}

static int hex_digit(int c)
{
	if (c >= '0' && c <= '9')
		return c - '0';
	if (c >= 'a' && c <= 'f')
		return c - 'a' + 10;
	if (c >= 'A' && c <= 'F')
		return c - 'A' + 10;
	return -1;
}

/* Parses one line into out; returns the byte count, or -1 when it is not hex. */
static long parse_hex_line(const char *s, size_t n, unsigned char *out, size_t cap)
{
	long len = 0;
	int hi = -1;

	for (size_t i = 0; i < n; i++) {
		int c = (unsigned char)s[i];
		if (c == ' ' || c == '\t' || c == '\r' || c == ':' || c == '-') {
			if (hi >= 0)
				return -1;
			continue;
		}
		int d = hex_digit(c);
		if (d < 0 || (size_t)len == cap)
			return -1;
		if (hi < 0) {
			hi = d;
		} else {
			out[len++] = (unsigned char)(hi << 4 | d);
			hi = -1;
		}
	}
	return hi >= 0 ? -1 : len;
}

static void send_line(KRIXCONN *conn, const char *line, size_t n)
{
	static unsigned char frame[FRAME_BUF];
	long len;

	while (n > 0 && (line[0] == ' ' || line[0] == '\t'))
		line++, n--;
	if (n == 0 || line[0] == '#')
		return;
	len = parse_hex_line(line, n, frame, sizeof(frame));
	if (len < 0) {
		fprintf(stderr, "krix_plug: not a hex frame: %.*s\n", (int)n, line);
		return;
	}
	if (krix_send(conn, frame, (size_t)len, 0) < 0)
		fprintf(stderr, "krix_plug: krix_send(): %s\n", strerror(errno));
}

/* Reads what standard input has and sends each complete line; returns 0 at
 * its end. A last line without a newline is sent at the end too. */
static int pump_stdin(KRIXCONN *conn)
{
	static char buf[LINE_MAX_BYTES];
	static size_t have;
	ssize_t n = read(STDIN_FILENO, buf + have, sizeof(buf) - have);
	char *nl;

	if (n < 0)
		return errno == EINTR || errno == EAGAIN;
	if (n == 0) {
		send_line(conn, buf, have);
		have = 0;
		return 0;
	}
	have += (size_t)n;
	char *start = buf;
	while ((nl = memchr(start, '\n', have - (size_t)(start - buf))) != NULL) {
		send_line(conn, start, (size_t)(nl - start));
		start = nl + 1;
	}
	have -= (size_t)(start - buf);
	memmove(buf, start, have);
	if (have == sizeof(buf)) {
		fprintf(stderr, "krix_plug: input line too long\n");
		have = 0;
	}
	return 1;
}

static void print_frame(const unsigned char *f, ssize_t n)
{
	static const char HEX[] = "0123456789abcdef";
	static char line[2 * FRAME_BUF + 2];
	ssize_t i;

	for (i = 0; i < n; i++) {
		line[2 * i] = HEX[f[i] >> 4];
		line[2 * i + 1] = HEX[f[i] & 15];
	}
	line[2 * n] = '\n';
	fwrite(line, 1, (size_t)(2 * n + 1), stdout);
	fflush(stdout);
}

static double now_sec(void)
{
	struct timespec ts;

	clock_gettime(CLOCK_MONOTONIC, &ts);
	return (double)ts.tv_sec + ts.tv_nsec / 1e9;
}

int main(int argc, char **argv)
{
	static unsigned char frame[FRAME_BUF];
	SwitchOpenArgs args = {0, NULL, 0700};
	const char *dir = NULL, *descr = "krix_plug";
	long want = -1, got = 0;
	double deadline = -1;
	int c, verbose = 0, exit_on_eof = 0, stdin_open = 1;

	while ((c = getopt_long(argc, argv, "s:p:n:w:D:evh", LONG_OPTIONS, NULL)) != -1) {
		switch (c) {
		case 's': dir = optarg; break;
		case 'p': args.port = atoi(optarg); break;
		case 'n': want = atol(optarg); break;
		case 'w': deadline = now_sec() + atof(optarg); break;
		case 'D': descr = optarg; break;
		case 'e': exit_on_eof = 1; break;
		case 'v': verbose = 1; break;
		case 'h': usage(stdout); return 0;
		default: usage(stderr); return 1;
		}
	}
	KRIXCONN *conn = krix_open_real(dir, descr, KRIX_INTERFACE_VERSION, &args);
	if (conn == NULL) {
		fprintf(stderr, "krix_plug: krix_open(\"%s\"): %s\n", dir ? dir : KRIX_DEFAULT_DIR,
			strerror(errno));
		return 1;
	}
	if (verbose)
		fprintf(stderr, "krix_plug: attached\n");
	while (want < 0 || got < want) {
		struct pollfd pfd[3] = {
			{krix_ctlfd(conn), POLLIN, 0},
			{krix_datafd(conn), POLLIN, 0},
			{stdin_open ? STDIN_FILENO : -1, POLLIN, 0},
		};
		int timeout = -1;
		if (deadline >= 0) {
			double left = deadline - now_sec();
			if (left <= 0)
				break;
			timeout = (int)(left * 1000) + 1;
		}
		if (poll(pfd, 3, timeout) < 0 && errno != EINTR)
			break;
		if (pfd[1].revents & POLLIN) {
			ssize_t n = krix_recv(conn, frame, sizeof(frame), MSG_DONTWAIT);
			if (n > 0) {
				print_frame(frame, n);
				got++;
			}
			continue;
		}
		if ((pfd[0].revents | pfd[1].revents) & (POLLHUP | POLLERR))
			break;
		if (pfd[2].revents && !pump_stdin(conn)) {
			stdin_open = 0;
			if (exit_on_eof)
				break;
		}
	}
	krix_close(conn);
	return (want >= 0 && got < want) ? 1 : 0;
}
