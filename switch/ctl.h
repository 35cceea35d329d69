/*
 * ctl.h: the switch's socket directory and control socket: plugs connect,
 * say hello, and get a port and a data channel back.
 */
#ifndef SWITCH_CTL_H
#define SWITCH_CTL_H

#include "port.h"

#include <cstdint>
#include <sys/types.h>

/* Connections that may wait for their hello at once. */
constexpr int CTL_PENDING_MAX = 32;

/*
 * Creates dir with mode (or, when it exists, sets mode only if mode_given),
 * replaces a stale control socket and listens. Ends the process with status
 * 1 when another switch is live there or anything fails. dir is absolute.
 */
void ctl_open(const char *dir, mode_t mode, bool mode_given);

/* Stops listening and removes the control socket (and dir, if created). */
void ctl_close(void);

/* Adds the listener and the connections still owing a hello; returns how many. */
int ctl_poll_fill(struct pollfd *pfd, PollRef *ref);

/* Acts on one entry that poll reported. */
void ctl_poll_handle(const struct pollfd &pfd, const PollRef &ref);

/* Hands each of the n entries that reported something to its handler,
 * control or port, then frees the ports that failed meanwhile. */
void ctl_poll_dispatch(const struct pollfd *pfd, const PollRef *ref, int n);

/* Drops connections that sent no hello in time; returns the milliseconds
 * until the next such deadline, or -1 when none is pending. */
int ctl_expire(int64_t now_ms);

#endif
