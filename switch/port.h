/*
 * port.h: the switch's ports (plugs and TAP devices) and the forwarding of
 * frames between them.
 */
#ifndef SWITCH_PORT_H
#define SWITCH_PORT_H

#include <cstddef>
#include <cstdint>
#include <poll.h>

/* Which handler a poll entry belongs to, kept beside the pollfd array. */
struct PollRef {
	int owner; /* POLL_CTL or POLL_PORT */
	int index; /* a pending slot, a port number, or -1 for the listener */
	bool ctl;  /* for a plug: its control descriptor rather than data */
};
constexpr int POLL_CTL = 0;
constexpr int POLL_PORT = 1;

/* Sets up ports 1..nports (all free); ends the process if it cannot. */
void port_init(int nports);

/* The number of ports, and so the most plugs and TAP devices at once. */
int port_count(void);

/*
 * Takes a plug onto port want (0 = first free) and creates its data channel.
 * The port owns ctl from then on. Returns the port and the plug's end of
 * the channel in *plug_fd (the caller passes it on and closes it), or a
 * negative errno: EADDRINUSE, EINVAL (out of range), EBUSY (no free port).
 */
int port_attach_plug(int want, int ctl, int *plug_fd, const char *descr, int pid);

/* Takes the TAP device name onto the first free port; -1 with errno. */
int port_attach_tap(const char *name);

/* Frees a port, closing its descriptors (the plug sees POLLHUP on both). */
void port_detach(int port, const char *why);

/* Frees every port; used at shutdown. */
void port_detach_all(void);

/* Frees the ports that failed while frames were being handled. */
void port_reap(void);

/* Adds the poll entries of every port; returns how many. */
int port_poll_fill(struct pollfd *pfd, PollRef *ref);

/* Acts on one entry that poll reported. */
void port_poll_handle(const struct pollfd &pfd, const PollRef &ref);

/* CLOCK_MONOTONIC in milliseconds, the clock of the learning table. */
int64_t port_now_ms(void);

#endif
