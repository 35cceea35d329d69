#include "main.h"

#include <arpa/inet.h>
#include <ctype.h>
#include <errno.h>
#include <getopt.h>
#include <limits.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "common.h"
#include "log.h"
#include "switch.h"
#include "table.h"
#include "vxlan.h"

// The wait of the event loop is also the clock of the sweep.
constexpr int POLL_TIMEOUT_MS = 1000;
constexpr int TABLE_SIZE = 128;

static const struct option LONG_OPTIONS[] = {
	{"vxlan-id", required_argument, nullptr, 'I'},
	{"vxlan-addr", required_argument, nullptr, 'A'},
	{"vxlan-port", required_argument, nullptr, 'P'},
	{"vxlan-mttl", required_argument, nullptr, 'T'},
	{"sock", required_argument, nullptr, 's'},
	{"port", required_argument, nullptr, 'p'},
	{"daemon", no_argument, nullptr, 'd'},
	{"verbose", no_argument, nullptr, 'v'},
	{"help", no_argument, nullptr, 'h'},
	{nullptr, 0, nullptr, 0},
};

void show_help(void)
{
	static const char *const VXLAN_OPTIONS[][3] = {
		{"-I", "--vxlan-id", "ID of the VXLAN"},
		{"-A", "--vxlan-addr", "Multicast address of the VXLAN"},
		{"-P", "--vxlan-port", "Port of the VXLAN (default 4879)"},
		{"-T", "--vxlan-mttl", "Multicast TTL (default 1)"},
	};
	static const char *const KRIX_OPTIONS[][3] = {
		{"-s", "--sock", "Socket directory of the KRIX switch"},
		{"-p", "--port", "Port of the KRIX switch"},
		{"-d", "--daemon", "Run in background"},
		{"-v", "--verbose", "Show debug output"},
		{"-h", "--help", "Show this help"},
	};

	puts("Usage: krix_vxlan [OPTIONS]\n");
	puts(" VXLAN Options:");
	for (const auto &o : VXLAN_OPTIONS)
		printf("  %s, %s\t%s.\n", o[0], o[1], o[2]);
	puts("\n KRIX Options:");
	for (const auto &o : KRIX_OPTIONS)
		printf("  %s, %s\t%s.\n", o[0], o[1], o[2]);
	puts("");
}

int main_atoi(const char *text)
{
	// As atoi: leading white space, an optional sign, then digits up to
	// the first other character. Beyond the int range atoi is undefined;
	// here the value saturates instead.
	while (isspace(static_cast<unsigned char>(*text)))
		text++;
	bool negative = *text == '-';
	if (*text == '-' || *text == '+')
		text++;

	long long value = 0;
	for (; isdigit(static_cast<unsigned char>(*text)); text++) {
		value = value * 10 + (*text - '0');
		if (value > -static_cast<long long>(INT_MIN))
			break;
	}
	if (negative)
		value = -value;
	if (value > INT_MAX)
		return INT_MAX;
	if (value < INT_MIN)
		return INT_MIN;
	return static_cast<int>(value);
}

void cleanup_at_exit(void)
{
	vxlan_close();
	switch_close();
}

// Runs until the switch hangs up (0) or a wait fails (1).
static int main_loop(PollSet set)
{
	for (;;) {
		// Only what this wait returns may be acted on.
		for (size_t i = 0; i < POLL_COUNT; i++)
			set[i].revents = 0;

		if (poll(set, POLL_COUNT, POLL_TIMEOUT_MS) < 0) {
			if (errno != EINTR) {
				log_line(LOG_ERR, "poll(): %s", strerror(errno));
				return 1;
			}
			table_sweep();
			continue;
		}
		if (set[POLL_SWITCH_CTL].revents & POLLHUP) {
			log_line(LOG_INFO, "KRIX connection closed");
			return 0;
		}
		if (set[POLL_SWITCH_DATA].revents & POLLHUP)
			log_line(LOG_ERR, "KRIX connection error");
		if (set[POLL_SWITCH_DATA].revents & POLLIN)
			switch_on_frame();
		if (set[POLL_VXLAN].revents & POLLIN)
			vxlan_on_datagram();
		table_sweep();
	}
}

int main(int argc, char **argv)
{
	// Static, so that the copy made from the command line stays reachable
	// for the life of the process, after main has returned included.
	static char *switch_sock = nullptr;
	int switch_port = 0;
	bool daemon_mode = false;

	// Each log line is three writes to standard error. Buffered by line,
	// they leave in one system call, which matters when a flood of refused
	// datagrams from the network is logged one line each.
	setvbuf(stderr, nullptr, _IOLBF, BUFSIZ);

	int opt;
	while ((opt = getopt_long(argc, argv, "I:A:P:T:s:p:dvh", LONG_OPTIONS, nullptr)) != -1) {
		switch (opt) {
		case 'I': vxlan_id = main_atoi(optarg); break;
		case 'A': vxlan_addr = inet_addr(optarg); break;
		case 'P': vxlan_port = main_atoi(optarg); break;
		case 'T': vxlan_mttl = main_atoi(optarg); break;
		case 's':
			// The last -s wins; an earlier copy is of no further use.
			free(switch_sock);
			switch_sock = strdup(optarg);
			break;
		case 'p': switch_port = main_atoi(optarg); break;
		case 'd': daemon_mode = true; break;
		case 'v': verbose = 1; break;
		default:
			show_help();
			exit(1);
		}
	}
	if (vxlan_id == -1) {
		log_line(LOG_ERR, "Invalid VXLAN ID");
		exit(1);
	}
	if (vxlan_addr == INADDR_NONE) {
		log_line(LOG_ERR, "Invalid VXLAN multicast address");
		exit(1);
	}

	atexit(cleanup_at_exit);
	PollSet set = {};
	switch_open(switch_sock, switch_port, set);
	vxlan_open(set);
	table_init(TABLE_SIZE);

	if (daemon_mode) {
		if (daemon(0, 0) != 0) {
			log_line(LOG_ERR, "daemon(): %s", strerror(errno));
			return 1;
		}
		use_syslog = 1;
		// LOG_USER is named, not left as 0: some C libraries file a 0
		// facility under the kernel's.
		openlog("krix_vxlan", LOG_PID, LOG_USER);
		log_line(LOG_INFO, "KRIX_VXLAN started");
	}
	return main_loop(set);
}
