#include "fuzz_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

// libFuzzer's -close_fd_mask points standard error at /dev/null once it has
// started, to silence the code under test; a failed check must still be
// read, so it goes to a copy of standard error taken before that.
static const int report_fd = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);

void fuzz_check(bool ok, const char *what, const char *file, int line)
{
	if (ok)
		return;
	dprintf(report_fd >= 0 ? report_fd : STDERR_FILENO, "%s:%d: check failed: %s\n", file, line, what);
	abort();
}

[[noreturn]] static void fuzz_fail(const char *what)
{
	perror(what);
	exit(1);
}

void fuzz_private_netns(void)
{
	if (unshare(CLONE_NEWNET) < 0)
		fuzz_fail("unshare(CLONE_NEWNET) (the harness must run as root)");

	// A fresh namespace holds nothing but a loopback device that is down.
	struct if_nameindex *names = if_nameindex();
	if (!names)
		fuzz_fail("if_nameindex()");
	for (struct if_nameindex *i = names; i->if_index; i++)
		if (strcmp(i->if_name, "lo") != 0) {
			fprintf(stderr, "unexpected interface %s in the private namespace\n", i->if_name);
			exit(1);
		}
	if_freenameindex(names);

	int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
	struct ifreq ifr = {};
	snprintf(ifr.ifr_name, sizeof(ifr.ifr_name), "lo");
	if (s < 0 || ioctl(s, SIOCGIFFLAGS, &ifr) < 0)
		fuzz_fail("SIOCGIFFLAGS");
	ifr.ifr_flags = short(ifr.ifr_flags | IFF_UP);
	if (ioctl(s, SIOCSIFFLAGS, &ifr) < 0)
		fuzz_fail("SIOCSIFFLAGS");
	close(s);
}

int fuzz_udp_socket(in_addr_t addr, uint16_t port)
{
	int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
	struct sockaddr_in sa = {};
	sa.sin_family = AF_INET;
	sa.sin_port = htons(port);
	sa.sin_addr.s_addr = addr;
	if (s < 0 || bind(s, reinterpret_cast<struct sockaddr *>(&sa), sizeof(sa)) < 0)
		fuzz_fail("UDP socket");
	return s;
}

static std::vector<std::string> temp_dirs;

static void fuzz_remove_temp_dirs(void)
{
	for (const std::string &dir : temp_dirs) {
		if (DIR *d = opendir(dir.c_str())) {
			while (struct dirent *e = readdir(d))
				if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
					unlink((dir + "/" + e->d_name).c_str());
			closedir(d);
		}
		rmdir(dir.c_str());
	}
}

std::string fuzz_temp_dir(const char *tag)
{
	std::string tmpl = std::string("/tmp/") + tag + ".XXXXXX";
	if (!mkdtemp(tmpl.data()))
		fuzz_fail("mkdtemp()");
	if (temp_dirs.empty())
		atexit(fuzz_remove_temp_dirs);
	temp_dirs.push_back(tmpl);
	return tmpl;
}

int fuzz_lowest_free_fd(void)
{
	int fd = dup(0);
	if (fd >= 0)
		close(fd);
	return fd;
}

bool fuzz_take_record(const uint8_t **data, size_t *size, const uint8_t **rec, size_t *len)
{
	if (*size < 2)
		return false;
	size_t want = size_t((*data)[0]) | size_t((*data)[1]) << 8;
	*data += 2;
	*size -= 2;
	*len = want < *size ? want : *size;
	*rec = *data;
	*data += *len;
	*size -= *len;
	return true;
}
