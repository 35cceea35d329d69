/*
 * krix_switch.cpp: a learning Ethernet switch whose ports are plugs
 * (libkrixplug) and TAP devices. One thread, one poll loop.
 */
#include "ctl.h"
#include "fdb.h"
#include "log.h"
#include "port.h"
#include "../krixplug/krixplug.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <unistd.h>

namespace {

constexpr int PORTS_DEFAULT = 64;
constexpr int PORTS_MAX = 4096;
constexpr double AGEING_DEFAULT_SEC = 300;
constexpr mode_t MODE_DEFAULT = 0700;
constexpr int TAPS_MAX = 64;

const char *opt_dir = KRIX_DEFAULT_DIR;
const char *opt_taps[TAPS_MAX];
int opt_ntaps;
mode_t opt_mode = MODE_DEFAULT;
bool opt_mode_given;
int opt_ports = PORTS_DEFAULT;
double opt_ageing_sec = AGEING_DEFAULT_SEC;
bool opt_daemon;

volatile sig_atomic_t stop_signal;

const struct option LONG_OPTIONS[] = {
	{"sock", required_argument, nullptr, 's'},
	{"tap", required_argument, nullptr, 't'},
	{"mode", required_argument, nullptr, 'm'},
	{"ports", required_argument, nullptr, 'n'},
	{"ageing", required_argument, nullptr, 'a'},
	{"daemon", no_argument, nullptr, 'd'},
	{"verbose", no_argument, nullptr, 'v'},
	{"help", no_argument, nullptr, 'h'},
	{nullptr, 0, nullptr, 0},
};

void usage(FILE *f)
{
	fprintf(f,
		"Usage: krix_switch [-dhv] [-s DIR] [-t NAME]... [-m MODE] [-n PORTS] [-a SECONDS]\n"
		"  -s, --sock DIR       socket directory (default %s)\n"
		"  -t, --tap NAME       attach the TAP device NAME (may be repeated)\n"
		"  -m, --mode MODE      permissions of the socket directory, octal (default %03o)\n"
		"  -n, --ports PORTS    number of ports (default %d, at most %d)\n"
		"  -a, --ageing SECONDS how long an unseen address is remembered (default %g)\n"
		"  -d, --daemon         run in the background, logging to syslog\n"
		"  -v, --verbose        log debug messages\n"
		"  -h, --help           show this help\n",
		KRIX_DEFAULT_DIR, (unsigned)MODE_DEFAULT, PORTS_DEFAULT, PORTS_MAX,
		AGEING_DEFAULT_SEC);
}

[[noreturn]] void bad_option(const char *what, const char *arg)
{
	log_line(LOG_ERR, "invalid %s: %s", what, arg);
	exit(1);
}

long parse_long(const char *arg, int base, long lo, long hi, const char *what)
{
	char *end;

	errno = 0;
	long v = strtol(arg, &end, base);
	if (errno != 0 || end == arg || *end != '\0' || v < lo || v > hi)
		bad_option(what, arg);
	return v;
}

void parse_options(int argc, char **argv)
{
	int c;
	char *end;

	while ((c = getopt_long(argc, argv, "s:t:m:n:a:dvh", LONG_OPTIONS, nullptr)) != -1) {
		switch (c) {
		case 's':
			opt_dir = optarg;
			break;
		case 't':
			if (opt_ntaps == TAPS_MAX)
				bad_option("number of TAP devices", optarg);
			opt_taps[opt_ntaps++] = optarg;
			break;
		case 'm':
			opt_mode = (mode_t)parse_long(optarg, 8, 0, 07777, "mode");
			opt_mode_given = true;
			break;
		case 'n':
			opt_ports = (int)parse_long(optarg, 10, 1, PORTS_MAX, "number of ports");
			break;
		case 'a':
			opt_ageing_sec = strtod(optarg, &end);
			if (end == optarg || *end != '\0' || !(opt_ageing_sec >= 0) ||
			    opt_ageing_sec > 1e9)
				bad_option("ageing time", optarg);
			break;
		case 'd':
			opt_daemon = true;
			break;
		case 'v':
			log_verbose = true;
			break;
		case 'h':
			usage(stdout);
			exit(0);
		default:
			usage(stderr);
			exit(1);
		}
	}
	if (optind != argc) {
		usage(stderr);
		exit(1);
	}
	if (opt_ntaps > opt_ports)
		bad_option("number of ports for the TAP devices", argv[0]);
}

/* The directory is removed at exit, after daemon() has moved to "/". */
const char *absolute_dir(const char *dir)
{
	static char buf[PATH_MAX];
	char cwd[PATH_MAX];

	if (dir[0] == '/')
		return dir;
	if (getcwd(cwd, sizeof(cwd)) == nullptr ||
	    (size_t)snprintf(buf, sizeof(buf), "%s/%s", cwd, dir) >= sizeof(buf)) {
		log_line(LOG_ERR, "%s: cannot make the path absolute", dir);
		exit(1);
	}
	return buf;
}

void on_signal(int sig)
{
	stop_signal = sig;
}

/* SIGINT and SIGTERM are only let through while waiting in ppoll, so a
 * stop can never slip in between the check of the flag and the wait. */
void setup_signals(sigset_t *wait_mask)
{
	struct sigaction sa = {};
	sigset_t block;

	sa.sa_handler = on_signal;
	sigaction(SIGINT, &sa, nullptr);
	sigaction(SIGTERM, &sa, nullptr);
	signal(SIGPIPE, SIG_IGN);
	sigemptyset(&block);
	sigaddset(&block, SIGINT);
	sigaddset(&block, SIGTERM);
	sigprocmask(SIG_BLOCK, &block, wait_mask);
	sigdelset(wait_mask, SIGINT);
	sigdelset(wait_mask, SIGTERM);
}

void attach_taps(void)
{
	for (int i = 0; i < opt_ntaps; i++) {
		int p = port_attach_tap(opt_taps[i]);
		if (p < 0) {
			log_line(LOG_ERR, "tap_open(\"%s\"): %s", opt_taps[i], strerror(errno));
			exit(1);
		}
		log_line(LOG_INFO, "port %d attached: TAP device %s", p, opt_taps[i]);
	}
}

void run(const sigset_t *wait_mask)
{
	int max = 1 + CTL_PENDING_MAX + 2 * port_count();
	auto *pfd = static_cast<struct pollfd *>(calloc((size_t)max, sizeof(struct pollfd)));
	auto *ref = static_cast<PollRef *>(calloc((size_t)max, sizeof(PollRef)));
	int wait_ms = -1;

	if (pfd == nullptr || ref == nullptr) {
		log_line(LOG_ERR, "calloc(): %s", strerror(errno));
		exit(1);
	}
	while (stop_signal == 0) {
		int n = ctl_poll_fill(pfd, ref);
		n += port_poll_fill(pfd + n, ref + n);
		struct timespec ts = {wait_ms / 1000, (wait_ms % 1000) * 1000000L};
		int r = ppoll(pfd, (nfds_t)n, wait_ms < 0 ? nullptr : &ts, wait_mask);
		if (r < 0 && errno != EINTR) {
			log_line(LOG_ERR, "ppoll(): %s", strerror(errno));
			exit(1);
		}
		ctl_poll_dispatch(pfd, ref, r > 0 ? n : 0);
		wait_ms = ctl_expire(port_now_ms());
	}
	free(pfd);
	free(ref);
}

} // namespace

int main(int argc, char **argv)
{
	sigset_t wait_mask;

	parse_options(argc, argv);
	fdb_init((int64_t)(opt_ageing_sec * 1000));
	port_init(opt_ports);
	setup_signals(&wait_mask);
	attach_taps();
	ctl_open(absolute_dir(opt_dir), opt_mode, opt_mode_given);
	if (opt_daemon) {
		if (daemon(0, 0) < 0) {
			log_line(LOG_ERR, "daemon(): %s", strerror(errno));
			ctl_close();
			exit(1);
		}
		log_to_syslog();
	}
	log_line(LOG_INFO, "switching on %s with %d ports", opt_dir, opt_ports);
	run(&wait_mask);
	log_line(LOG_INFO, "stopping on signal %d", (int)stop_signal);
	port_detach_all();
	ctl_close();
	return 0;
}
