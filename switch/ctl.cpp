/*
 * ctl.cpp: the control socket. Every accepted connection is nonblocking and
 * waits in a small pending table until its hello arrives, so a plug that
 * connects and says nothing costs one slot for a few seconds and never
 * holds up the switch.
 */
#include "ctl.h"

#include "log.h"
#include "port.h"
#include "../krixplug/krix_wire.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr int64_t HELLO_TIMEOUT_MS = 5000;
constexpr int LISTEN_BACKLOG = 64;

struct Pending {
	int     fd;
	int64_t deadline_ms;
};

Pending pending[CTL_PENDING_MAX];
int pending_n;
int ctl_fd = -1;
char ctl_dir[PATH_MAX];
char ctl_path[sizeof(sockaddr_un::sun_path)];
bool ctl_dir_created;

[[noreturn]] void ctl_fail(const char *what)
{
	log_line(LOG_ERR, "%s: %s", what, strerror(errno));
	exit(1);
}

void ctl_make_dir(const char *dir, mode_t mode, bool mode_given)
{
	struct stat st;

	if (mkdir(dir, mode) == 0) {
		ctl_dir_created = true;
		mode_given = true; /* the umask must not narrow it */
	} else if (errno != EEXIST) {
		ctl_fail(dir);
	}
	if (stat(dir, &st) < 0)
		ctl_fail(dir);
	if (!S_ISDIR(st.st_mode)) {
		log_line(LOG_ERR, "%s: not a directory", dir);
		exit(1);
	}
	if (mode_given && chmod(dir, mode) < 0)
		ctl_fail(dir);
}

/* A socket nobody listens on is what a killed switch leaves behind; one
 * that answers belongs to a live switch, which must be left alone. */
void ctl_clear_stale(const struct sockaddr_un &sa)
{
	struct stat st;

	if (lstat(sa.sun_path, &st) < 0) {
		if (errno == ENOENT)
			return;
		ctl_fail(sa.sun_path);
	}
	if (!S_ISSOCK(st.st_mode)) {
		log_line(LOG_ERR, "%s: exists and is not a socket", sa.sun_path);
		exit(1);
	}
	/* Nonblocking, so that a live switch with a full backlog shows up as
	 * EAGAIN rather than holding this start-up. */
	int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
	if (fd < 0)
		ctl_fail("socket()");
	if (connect(fd, (const struct sockaddr *)&sa, sizeof(sa)) == 0 || errno == EAGAIN) {
		log_line(LOG_ERR, "another switch is already running on %s", ctl_dir);
		exit(1);
	}
	if (errno != ECONNREFUSED)
		ctl_fail(sa.sun_path);
	close(fd);
	log_line(LOG_INFO, "replacing the stale socket %s", sa.sun_path);
	if (unlink(sa.sun_path) < 0)
		ctl_fail(sa.sun_path);
}

void pending_remove(int i, bool close_fd)
{
	if (close_fd)
		close(pending[i].fd);
	pending[i] = pending[--pending_n];
}

void ctl_accept(void)
{
	for (;;) {
		int fd = accept4(ctl_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
		if (fd < 0) {
			if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR &&
			    errno != ECONNABORTED)
				log_line(LOG_WARNING, "accept(): %s", strerror(errno));
			return;
		}
		if (pending_n == CTL_PENDING_MAX) {
			log_line(LOG_WARNING, "too many connections without hello; dropping the oldest");
			int oldest = 0;
			for (int i = 1; i < pending_n; i++)
				if (pending[i].deadline_ms < pending[oldest].deadline_ms)
					oldest = i;
			pending_remove(oldest, true);
		}
		pending[pending_n++] = {fd, port_now_ms() + HELLO_TIMEOUT_MS};
	}
}

bool ctl_reply(int fd, int error, int port, int pass_fd)
{
	KrixReply r = {KRIX_MAGIC, error, port};
	union {
		struct cmsghdr align;
		char buf[CMSG_SPACE(sizeof(int))];
	} cm;
	struct iovec iov = {&r, sizeof(r)};
	struct msghdr msg = {};

	msg.msg_iov = &iov;
	msg.msg_iovlen = 1;
	if (pass_fd >= 0) {
		memset(&cm, 0, sizeof(cm));
		msg.msg_control = cm.buf;
		msg.msg_controllen = sizeof(cm.buf);
		struct cmsghdr *c = CMSG_FIRSTHDR(&msg);
		c->cmsg_level = SOL_SOCKET;
		c->cmsg_type = SCM_RIGHTS;
		c->cmsg_len = CMSG_LEN(sizeof(int));
		memcpy(CMSG_DATA(c), &pass_fd, sizeof(int));
	}
	return sendmsg(fd, &msg, MSG_DONTWAIT | MSG_NOSIGNAL) == (ssize_t)sizeof(r);
}

/* Checks a hello as received (n is its true size). Returns 0 when it is
 * good, an errno to answer with, or -1 to drop the connection unanswered. */
int ctl_check_hello(const KrixHello &h, ssize_t n)
{
	if (n != (ssize_t)sizeof(KrixHello)) {
		log_line(LOG_WARNING, "malformed hello: %zd bytes", n);
		return -1;
	}
	if (h.magic != KRIX_MAGIC) {
		log_line(LOG_WARNING, "malformed hello: bad magic 0x%08x", h.magic);
		return -1;
	}
	if (h.version != KRIX_INTERFACE_VERSION) {
		log_line(LOG_WARNING, "hello with interface version %u refused", h.version);
		return EPROTONOSUPPORT;
	}
	return 0;
}

/* Takes the hello waiting on pending connection i. */
void ctl_hello(int i)
{
	int fd = pending[i].fd;
	KrixHello h;
	int plug_fd = -1;
	/* MSG_TRUNC yields the true size, so an oversized hello is seen as such. */
	ssize_t n = recv(fd, &h, sizeof(h), MSG_DONTWAIT | MSG_TRUNC);

	if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
		return;
	if (n <= 0) {
		log_line(LOG_DEBUG, "connection closed before hello");
		pending_remove(i, true);
		return;
	}
	int err = ctl_check_hello(h, n);
	if (err != 0) {
		if (err > 0)
			ctl_reply(fd, err, 0, -1);
		pending_remove(i, true);
		return;
	}
	h.descr[KRIX_DESCR_LEN - 1] = '\0';
	h.group[KRIX_GROUP_LEN - 1] = '\0';
	int port = port_attach_plug(h.port, fd, &plug_fd, h.descr, h.pid);
	if (port < 0) {
		log_line(LOG_INFO, "plug pid %d refused port %d: %s", h.pid, h.port, strerror(-port));
		ctl_reply(fd, -port, 0, -1);
		pending_remove(i, true);
		return;
	}
	pending_remove(i, false);
	bool sent = ctl_reply(fd, 0, port, plug_fd);
	close(plug_fd);
	if (!sent) {
		port_detach(port, "reply failed");
		return;
	}
	log_line(LOG_INFO, "port %d attached: pid %d \"%s\" group \"%s\"", port, h.pid, h.descr,
		 h.group);
}

} // namespace

void ctl_open(const char *dir, mode_t mode, bool mode_given)
{
	struct sockaddr_un sa = {};

	snprintf(ctl_dir, sizeof(ctl_dir), "%s", dir);
	sa.sun_family = AF_UNIX;
	if ((size_t)snprintf(sa.sun_path, sizeof(sa.sun_path), "%s/%s", dir, KRIX_CTL_NAME) >=
	    sizeof(sa.sun_path)) {
		log_line(LOG_ERR, "%s: socket path too long", dir);
		exit(1);
	}
	ctl_make_dir(dir, mode, mode_given);
	ctl_clear_stale(sa);
	ctl_fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
	if (ctl_fd < 0)
		ctl_fail("socket()");
	if (bind(ctl_fd, (struct sockaddr *)&sa, sizeof(sa)) < 0)
		ctl_fail(sa.sun_path);
	memcpy(ctl_path, sa.sun_path, sizeof(ctl_path));
	/* Connecting needs write permission on the socket; the directory's
	 * mode, less its search bits, says who may have it. */
	if (chmod(ctl_path, mode & 0666) < 0 || listen(ctl_fd, LISTEN_BACKLOG) < 0) {
		int e = errno;
		unlink(ctl_path);
		errno = e;
		ctl_fail(ctl_path);
	}
}

void ctl_close(void)
{
	while (pending_n > 0)
		pending_remove(0, true);
	if (ctl_fd >= 0) {
		close(ctl_fd);
		unlink(ctl_path);
		ctl_fd = -1;
	}
	if (ctl_dir_created)
		rmdir(ctl_dir);
}

int ctl_poll_fill(struct pollfd *pfd, PollRef *ref)
{
	int n = 0;

	pfd[n] = {ctl_fd, POLLIN, 0};
	ref[n++] = {POLL_CTL, -1, true};
	for (int i = 0; i < pending_n; i++) {
		pfd[n] = {pending[i].fd, POLLIN, 0};
		ref[n++] = {POLL_CTL, i, true};
	}
	return n;
}

void ctl_poll_handle(const struct pollfd &pfd, const PollRef &ref)
{
	if (ref.index < 0)
		ctl_accept();
	else if (ref.index < pending_n && pending[ref.index].fd == pfd.fd)
		ctl_hello(ref.index);
}

int ctl_expire(int64_t now_ms)
{
	int64_t next = -1;

	for (int i = 0; i < pending_n;) {
		if (now_ms >= pending[i].deadline_ms) {
			log_line(LOG_INFO, "dropped a connection that sent no hello");
			pending_remove(i, true);
			continue;
		}
		if (next < 0 || pending[i].deadline_ms - now_ms < next)
			next = pending[i].deadline_ms - now_ms;
		i++;
	}
	return (int)next;
}

void ctl_poll_dispatch(const struct pollfd *pfd, const PollRef *ref, int n)
{
	for (int i = 0; i < n; i++) {
		if (pfd[i].revents == 0)
			continue;
		if (ref[i].owner == POLL_CTL)
			ctl_poll_handle(pfd[i], ref[i]);
		else
			port_poll_handle(pfd[i], ref[i]);
	}
	port_reap();
}
