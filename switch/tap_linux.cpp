/* tap_linux.cpp: TAP devices through /dev/net/tun. */
#include "tap.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <sys/ioctl.h>
#include <unistd.h>

int tap_open(const char *name)
{
	struct ifreq ifr;
	int fd, e;

	if (strlen(name) >= IFNAMSIZ) {
		errno = ENAMETOOLONG;
		return -1;
	}
	fd = open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC);
	if (fd < 0)
		return -1;
	memset(&ifr, 0, sizeof(ifr));
	/* IFF_NO_PI: the switch deals in bare frames, without the packet
	 * information header the kernel would otherwise put in front. */
	ifr.ifr_flags = IFF_TAP | IFF_NO_PI;
	memcpy(ifr.ifr_name, name, strlen(name));
	if (ioctl(fd, TUNSETIFF, &ifr) < 0) {
		e = errno;
		close(fd);
		errno = e;
		return -1;
	}
	return fd;
}

ssize_t tap_read(int fd, void *buf, size_t len)
{
	return read(fd, buf, len);
}

ssize_t tap_write(int fd, const void *buf, size_t len)
{
	return write(fd, buf, len);
}
