/*
 * krix_wire.h: the messages that libkrixplug and krix_switch exchange on the
 * control socket <dir>/ctl. Private to the two of them; not installed.
 *
 * A plug connects with SOCK_SEQPACKET, sends one KrixHello and reads one
 * KrixReply. On success the reply carries, as SCM_RIGHTS, one end of a
 * SOCK_SEQPACKET socketpair: the data channel, one message per frame. After
 * the reply the switch sends nothing more on the control connection; it only
 * closes it, which the plug sees as POLLHUP.
 */
#ifndef KRIX_WIRE_H
#define KRIX_WIRE_H

#include <assert.h>
#include <stdint.h>

#include "krixplug.h"

#define KRIX_MAGIC 0x4b524958u /* "KRIX" */
#define KRIX_CTL_NAME "ctl"
#define KRIX_GROUP_LEN 32
#define KRIX_DESCR_LEN 64

/* Ethernet frames the switch carries: a bare header up to a tagged maximum
 * frame without its FCS. Anything else is dropped, never cut. */
#define KRIX_FRAME_MIN 14
#define KRIX_FRAME_MAX 1526

/* Both ends run on one host, so fields are in host byte order and errno
 * values are the host's own. */
typedef struct {
	uint32_t magic;
	uint32_t version; /* the interface version, KRIX_INTERFACE_VERSION */
	int32_t  port;    /* 0 = first free port */
	int32_t  pid;     /* for the switch's log only */
	uint32_t mode;    /* passed on; the switch creates nothing for a plug */
	char     group[KRIX_GROUP_LEN];  /* NUL-terminated, may be empty */
	char     descr[KRIX_DESCR_LEN];  /* NUL-terminated, may be empty */
} KrixHello;

typedef struct {
	uint32_t magic;
	int32_t  error; /* 0, or the errno the plug's open fails with */
	int32_t  port;  /* the port assigned when error is 0 */
} KrixReply;

static_assert(sizeof(KrixHello) == 116, "hello layout is part of the wire format");
static_assert(sizeof(KrixReply) == 12, "reply layout is part of the wire format");

#endif
