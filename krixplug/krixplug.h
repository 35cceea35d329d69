/*
 * krixplug.h: the plug library of the KRIX virtual Ethernet switch.
 *
 * A plug is one port of a krix_switch. It is opened with krix_open_real,
 * waited on through its two descriptors and used one frame at a time with
 * krix_recv and krix_send. Plain C; usable from C and C++.
 *
 * The library starts no thread and keeps nothing tied to the process ID, so
 * a connection keeps working in the child after fork(2) or daemon(3). Its
 * descriptors are close-on-exec. No function keeps a pointer it was given
 * after it returns.
 */
#ifndef KRIXPLUG_H
#define KRIXPLUG_H

#include <stdint.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The switch directory used when krix_open_real is given no path. */
#define KRIX_DEFAULT_DIR "/run/krix_switch"

/* The one interface version this library speaks. */
#define KRIX_INTERFACE_VERSION 1

typedef struct krix_conn KRIXCONN; /* opaque */

/*
 * Owned by the caller and read only during krix_open_real. The group is a
 * label the switch writes to its log (at most 31 bytes are sent). This
 * library creates no file, so mode is passed on and has no effect.
 */
typedef struct {
	int32_t port;  /* switch port asked for; 0 = any free port */
	char   *group; /* may be NULL */
	mode_t  mode;  /* permissions of what the plug creates */
} SwitchOpenArgs;

/*
 * Connects to the switch whose directory is sock (KRIX_DEFAULT_DIR when
 * NULL; a path naming the control socket <dir>/ctl itself works too).
 * descr (may be NULL, at most 63 bytes are sent) and args (may be NULL,
 * meaning port 0) are only read during the call. Returns a handle that the
 * caller releases with krix_close, or NULL with errno: EPROTONOSUPPORT for an
 * interface_version other than KRIX_INTERFACE_VERSION (nothing is contacted),
 * ENOENT or ECONNREFUSED when no switch is there, EACCES when the directory
 * forbids it, EPROTO when the switch answers in a way this library does not
 * understand, ETIMEDOUT when it does not answer within 5 seconds, and from
 * the switch EADDRINUSE (port taken), EINVAL (port out of range) or EBUSY
 * (no free port).
 */
KRIXCONN *krix_open_real(const char *sock, const char *descr, int interface_version, SwitchOpenArgs *args);

/*
 * The control descriptor: it only ever reports POLLHUP (with POLLIN), when
 * the switch has ended the connection. Nothing arrives on it to be read.
 * Owned by the handle; -1 with EBADF for NULL.
 */
int       krix_ctlfd(KRIXCONN *conn);

/*
 * The data descriptor: POLLIN when one whole frame can be taken with one
 * krix_recv, POLLHUP when the switch has gone. Owned by the handle; -1 with
 * EBADF for NULL.
 */
int       krix_datafd(KRIXCONN *conn);

/*
 * Receives one frame (destination MAC first) into buf, cut to len when it is
 * longer; the rest of a cut frame is discarded. Returns the number of bytes
 * written to buf (never more than len), or -1 with errno. flags are those of
 * recv(2) (MSG_DONTWAIT, for one); MSG_TRUNC is ignored. It blocks when no
 * frame is waiting unless MSG_DONTWAIT is given.
 */
ssize_t   krix_recv(KRIXCONN *conn, void *buf, size_t len, int flags);

/*
 * Sends one frame of len bytes; buf stays the caller's. The switch carries
 * frames of 14 to 1526 bytes and drops any other. Returns len or -1 with
 * errno (EPIPE once the switch has gone; no SIGPIPE is raised). flags are
 * those of send(2).
 */
ssize_t   krix_send(KRIXCONN *conn, const void *buf, size_t len, int flags);

/*
 * Closes both descriptors and frees the handle; the switch frees the port.
 * NULL is accepted and does nothing. Returns 0.
 */
int       krix_close(KRIXCONN *conn);

#ifdef __cplusplus
}
#endif

#endif
