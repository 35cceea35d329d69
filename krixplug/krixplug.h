/*
 * krixplug.h: the plug library of the KRIX virtual Ethernet switch.
 *
 * A plug is one port of a krix_switch. It is opened with krix_open_real,
 * waited on through its two descriptors and used one frame at a time with
 * krix_recv and krix_send. Plain C; usable from C and C++.
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

typedef struct {
	int32_t port;  /* switch port asked for; 0 = any free port */
	char   *group; /* may be NULL */
	mode_t  mode;  /* permissions of what the plug creates */
} SwitchOpenArgs;

KRIXCONN *krix_open_real(const char *sock, const char *descr, int interface_version, SwitchOpenArgs *args);
int       krix_ctlfd(KRIXCONN *conn);
int       krix_datafd(KRIXCONN *conn);
ssize_t   krix_recv(KRIXCONN *conn, void *buf, size_t len, int flags);
ssize_t   krix_send(KRIXCONN *conn, const void *buf, size_t len, int flags);
int       krix_close(KRIXCONN *conn);

#ifdef __cplusplus
}
#endif

#endif
