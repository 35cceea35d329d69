/*
 * tap.h: the TAP device backend, the one place that knows the platform's way
 * of creating a TAP device. tap_linux.cpp uses /dev/net/tun; a BSD backend
 * over tap(4) would provide the same three functions.
 */
#ifndef SWITCH_TAP_H
#define SWITCH_TAP_H

#include <sys/types.h>

/* Attaches to (creating if needed) the TAP device name; returns a
 * nonblocking descriptor carrying bare Ethernet frames, or -1 with errno. */
int tap_open(const char *name);

/* Reads one frame, cut to len; -1 with errno (EAGAIN when none waits). */
ssize_t tap_read(int fd, void *buf, size_t len);

/* Writes one frame; -1 with errno (EAGAIN when the device is full). */
ssize_t tap_write(int fd, const void *buf, size_t len);

#endif
