/*
 * krixplug.c: the plug library. One control connection and one data socket
 * per plug, both plain descriptors, so a plug survives fork and daemon and
 * needs no thread.
 */
#define _GNU_SOURCE
#include "krixplug.h"
#include "krix_wire.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#define KRIX_EXPORT __attribute__((visibility("default")))

/* A switch that accepts but never answers must not hang the caller. */
#define OPEN_TIMEOUT_SEC 5

struct krix_conn {
	int ctl;
	int data;
	int port;
};

/* The caller may name the switch directory or its control socket. */
static int plug_ctl_path(const char *sock, struct sockaddr_un *sa)
{
	struct stat st;
	int n;

	memset(sa, 0, sizeof(*sa));
	sa->sun_family = AF_UNIX;
	if (sock == NULL)
		sock = KRIX_DEFAULT_DIR;
	if (stat(sock, &st) == 0 && S_ISSOCK(st.st_mode))
		n = snprintf(sa->sun_path, sizeof(sa->sun_path), "%s", sock);
	else
		n = snprintf(sa->sun_path, sizeof(sa->sun_path), "%s/%s", sock, KRIX_CTL_NAME);
	if (n < 0 || (size_t)n >= sizeof(sa->sun_path)) {
		errno = ENAMETOOLONG;
		return -1;
	}
	return 0;
}

static int plug_connect(const char *sock)
{
	struct sockaddr_un sa;
	struct timeval tv = { OPEN_TIMEOUT_SEC, 0 };
	int fd;

	if (plug_ctl_path(sock, &sa) < 0)
		return -1;
	fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
	if (fd < 0)
		return -1;
	setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
	setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
	if (connect(fd, (struct sockaddr *)&sa, sizeof(sa)) < 0) {
		int e = (errno == EAGAIN) ? ETIMEDOUT : errno;
		close(fd);
		errno = e;
		return -1;
	}
	return fd;
}

static void plug_hello(KrixHello *h, const char *descr, const SwitchOpenArgs *args)
{
	memset(h, 0, sizeof(*h));
	h->magic = KRIX_MAGIC;
	h->version = KRIX_INTERFACE_VERSION;
	h->pid = (int32_t)getpid();
	if (args != NULL) {
		h->port = args->port;
		h->mode = (uint32_t)args->mode;
		if (args->group != NULL)
			snprintf(h->group, sizeof(h->group), "%s", args->group);
	}
	if (descr != NULL)
		snprintf(h->descr, sizeof(h->descr), "%s", descr);
}

/* Reads the one reply and the data descriptor it carries. Any descriptor
 * beyond the first is closed so a confused switch cannot leak them into us. */
static int plug_reply(int ctl, KrixReply *r)
{
	union {
		struct cmsghdr align;
		char buf[CMSG_SPACE(4 * sizeof(int))];
	} cm;
	struct iovec iov = { r, sizeof(*r) };
	struct msghdr msg;
	struct cmsghdr *c;
	ssize_t n;
	int data = -1;

	memset(&msg, 0, sizeof(msg));
	msg.msg_iov = &iov;
	msg.msg_iovlen = 1;
	msg.msg_control = cm.buf;
	msg.msg_controllen = sizeof(cm.buf);
	do
		n = recvmsg(ctl, &msg, MSG_CMSG_CLOEXEC);
	while (n < 0 && errno == EINTR);
	if (n < 0)
		return (errno == EAGAIN) ? (errno = ETIMEDOUT, -1) : -1;
	for (c = CMSG_FIRSTHDR(&msg); c != NULL; c = CMSG_NXTHDR(&msg, c)) {
		if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS)
			continue;
		size_t nfd = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
		for (size_t i = 0; i < nfd; i++) {
			int fd;
			memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof(int));
			if (data < 0)
				data = fd;
			else
				close(fd);
		}
	}
	if (n != (ssize_t)sizeof(*r) || r->magic != KRIX_MAGIC || (msg.msg_flags & (MSG_CTRUNC | MSG_TRUNC)) ||
	    (r->error == 0 && data < 0) || r->error < 0) {
		if (data >= 0)
			close(data);
		errno = EPROTO;
		return -1;
	}
	if (r->error != 0) {
		if (data >= 0)
			close(data);
		errno = r->error;
		return -1;
	}
	return data;
}

KRIX_EXPORT KRIXCONN *krix_open_real(const char *sock, const char *descr, int interface_version,
				     SwitchOpenArgs *args)
{
	KrixHello hello;
	KrixReply reply;
	KRIXCONN *conn;
	int ctl, data, e;

	if (interface_version != KRIX_INTERFACE_VERSION) {
		errno = EPROTONOSUPPORT;
		return NULL;
	}
	conn = malloc(sizeof(*conn));
	if (conn == NULL)
		return NULL;
	ctl = plug_connect(sock);
	if (ctl < 0)
		goto fail;
	plug_hello(&hello, descr, args);
	if (send(ctl, &hello, sizeof(hello), MSG_NOSIGNAL) != (ssize_t)sizeof(hello))
		goto fail_ctl;
	data = plug_reply(ctl, &reply);
	if (data < 0)
		goto fail_ctl;
	/* The descriptors are handed to callers that block on them; the
	 * timeouts only guarded the exchange above. */
	struct timeval none = { 0, 0 };
	setsockopt(ctl, SOL_SOCKET, SO_RCVTIMEO, &none, sizeof(none));
	setsockopt(ctl, SOL_SOCKET, SO_SNDTIMEO, &none, sizeof(none));
	fcntl(data, F_SETFL, fcntl(data, F_GETFL) & ~O_NONBLOCK);
	conn->ctl = ctl;
	conn->data = data;
	conn->port = reply.port;
	return conn;

fail_ctl:
	e = errno;
	close(ctl);
	errno = e;
fail:
	e = errno;
	free(conn);
	errno = e;
	return NULL;
}

KRIX_EXPORT int krix_ctlfd(KRIXCONN *conn)
{
	if (conn == NULL) {
		errno = EBADF;
		return -1;
	}
	return conn->ctl;
}

KRIX_EXPORT int krix_datafd(KRIXCONN *conn)
{
	if (conn == NULL) {
		errno = EBADF;
		return -1;
	}
	return conn->data;
}

/* MSG_TRUNC is taken out so that the count never exceeds len: a caller that
 * trusts the count as the size of what is in its buffer stays safe. */
KRIX_EXPORT ssize_t krix_recv(KRIXCONN *conn, void *buf, size_t len, int flags)
{
	if (conn == NULL) {
		errno = EBADF;
		return -1;
	}
	return recv(conn->data, buf, len, flags & ~MSG_TRUNC);
}

/* MSG_NOSIGNAL: a switch that went away must show up as EPIPE, not as a
 * SIGPIPE that ends the caller. */
KRIX_EXPORT ssize_t krix_send(KRIXCONN *conn, const void *buf, size_t len, int flags)
{
	if (conn == NULL) {
		errno = EBADF;
		return -1;
	}
	return send(conn->data, buf, len, flags | MSG_NOSIGNAL);
}

KRIX_EXPORT int krix_close(KRIXCONN *conn)
{
	if (conn == NULL)
		return 0;
	close(conn->data);
	close(conn->ctl);
	free(conn);
	return 0;
}
