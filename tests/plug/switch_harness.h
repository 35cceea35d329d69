/*
 * switch_harness.h: runs the real krix_switch in a private temporary
 * directory for the plug and switch tests, and talks to it through the plug
 * library. Unix sockets only; nothing here touches a network.
 */
#ifndef SWITCH_HARNESS_H
#define SWITCH_HARNESS_H

#include "krixplug.h"

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

using Frame = std::vector<uint8_t>;

struct SwitchProc {
	pid_t       pid = -1;
	std::string tmp; /* mkdtemp directory holding dir and log */
	std::string dir; /* the switch directory, tmp + "/sw" */
	std::string log; /* the switch's standard error */
};

/* The path of a program built beside the tests, e.g. "krix_switch". */
std::string harness_bin(const char *name);

/* Makes a fresh temporary directory for sw (no switch yet). */
void harness_tmp(SwitchProc *sw);

/* Starts krix_switch -v -s sw->dir plus extra and waits until it accepts;
 * false when it did not come up. Makes the temporary directory if needed. */
bool switch_start(SwitchProc *sw, const std::vector<std::string> &extra = {});

/* Sends sig and waits; returns the exit status, or 128 + signal. */
int switch_stop(SwitchProc *sw, int sig);

/* Stops the switch if it still runs and removes the temporary directory. */
void switch_cleanup(SwitchProc *sw);

/* True once the switch's log holds text (waits up to timeout_ms). */
bool switch_log_has(const SwitchProc &sw, const std::string &text, int timeout_ms = 2000);

/* What the switch logged for a port when it freed it. */
struct PortCounters {
	unsigned long long rx = 0, tx = 0, dropped = 0, bad = 0;
};

/* Reads the counters of the last detach of port from the log. */
bool switch_port_counters(const SwitchProc &sw, int port, PortCounters *pc);

/* Opens a plug on port (0 = any) with interface version 1. */
KRIXCONN *plug_open(const SwitchProc &sw, int port = 0);

/* Receives one frame within timeout_ms into f (resized to what arrived);
 * false on timeout or error. */
bool plug_recv(KRIXCONN *conn, Frame *f, int timeout_ms = 2000);

/* True when nothing is waiting on the plug's data descriptor. */
bool plug_idle(KRIXCONN *conn);

/* A frame to dst from src of len bytes (at least 14), filled with seed. */
Frame make_frame(const char *dst, const char *src, size_t len, uint8_t seed = 0);

#endif
