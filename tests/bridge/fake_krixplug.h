// A fake of the KRIX plug library for the bridge's tests.
//
// It offers the six functions of krixplug.h over socket pairs of type
// SOCK_SEQPACKET, one for the data channel and one for the control channel,
// so that one send on the far end is one frame for krix_recv and a closed far
// end is a hang-up. Every call is recorded, with copies of its arguments.
//
// In-process use (unit tests): the C++ functions below. A successful open
// makes both pairs; the test holds the far ends (fake_plug_switch_fd,
// fake_plug_ctl_fd), the handle holds the near ends.
//
// Use from a separate process (the program linked with this fake, driven by
// a test), through the environment, read at each krix_open_real:
//   FAKE_KRIX_FAIL_OPEN=<errno>  the open fails with this errno (a number,
//                                e.g. 2 for ENOENT) and returns null.
//   FAKE_KRIX_DATA_FD=<fd>       use this inherited descriptor as the data
//   FAKE_KRIX_CTL_FD=<fd>        or control channel instead of a new pair;
//                                krix_close closes it. The test keeps the
//                                other end (best a SOCK_SEQPACKET pair).
//   FAKE_KRIX_TRACE=<fd|path>    append one line per library call to this
//                                inherited descriptor (all digits) or file
//                                (opened O_APPEND|O_CREAT), written at once
//                                with one write(2), so lines survive _exit,
//                                fork and daemon(3). Read on the first call
//                                of any of the six functions.
// Trace lines, one per call; <h> is "conn" or "null" for the handle passed,
// text arguments print as given or "null":
//   krix_open_real <sock> <descr> <version> port=<n> group=<g> mode=0<octal>
//   krix_open_real ... args=null        (when no record is passed)
//   krix_ctlfd <h>
//   krix_datafd <h>
//   krix_recv <h> <len> <flags>
//   krix_send <h> <len> <flags>
//   krix_close <h> vxlan_fd=<none|open|closed>  (the VXLAN socket then)
// A failed open is still traced as its call line; a process test sees the
// failure in the program's exit status and message.
#ifndef FAKE_KRIXPLUG_H
#define FAKE_KRIXPLUG_H

#include <stddef.h>
#include <stdint.h>

#include <array>
#include <functional>
#include <string>
#include <vector>

#include "krixplug.h"

// One recorded call. Fields that the call does not take stay at their
// defaults.
struct FakePlugCall {
	std::string name;          // "krix_open_real", "krix_recv", ...
	bool conn_null = false;    // the handle passed was null (all but open)
	bool sock_null = false;    // open: the path was null
	std::string sock;          // open: the path, when not null
	bool descr_null = false;   // open: the description was null
	std::string descr;         // open: the description, when not null
	int version = 0;           // open: the interface version
	bool args_null = false;    // open: no SwitchOpenArgs was passed
	SwitchOpenArgs args = {};  // open: a copy; args.group is compared only with null
	size_t len = 0;            // recv, send: the length passed
	int flags = 0;             // recv, send: the flags passed
};

// Forgets the call log and the failures asked for, and closes and frees
// every connection still open, both ends. Handles given out before are
// invalid afterwards: a test sets switch_conn back to null itself.
void fake_plug_reset(void);
// The calls made since the last reset, oldest first.
const std::vector<FakePlugCall> &fake_plug_calls(void);
// The names of those calls with their handle, e.g. "krix_close(null)".
std::string fake_plug_call_summary(void);

// Every krix_open_real fails with err (and returns null) until called with 0.
void fake_plug_fail_open(int err);
// The next krix_recv (or krix_send) fails with err without touching the
// channel, so a queued frame stays queued.
void fake_plug_fail_next_recv(int err);
void fake_plug_fail_next_send(int err);

// The test's ends of the newest connection's channels, owned by the fake;
// -1 when there is none. A frame sent on the data end is one krix_recv; a
// frame that krix_send passes on is read from it.
int fake_plug_switch_fd(void);
int fake_plug_ctl_fd(void);
// Closes the test's end of the control (or data) channel of the newest
// connection, so that the bridge's end reports POLLHUP.
void fake_plug_hang_up_ctl(void);
void fake_plug_hang_up_data(void);

// Helpers for the tests built on this fake.

using FakeMac = std::array<uint8_t, 6>;
using FakeLines = std::vector<std::string>;
// Addresses the tests use: broadcast, a group address that is not
// broadcast, and two stations.
constexpr FakeMac FAKE_BCAST = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
constexpr FakeMac FAKE_GROUP_MAC = {0x01, 0x00, 0x5e, 0x00, 0x00, 0x01};
constexpr FakeMac FAKE_MAC_A = {0x02, 0x00, 0x00, 0x00, 0x00, 0x0a};
constexpr FakeMac FAKE_MAC_B = {0x02, 0x00, 0x00, 0x00, 0x00, 0x0b};
// A frame of len bytes: dst and src as far as they fit, then a byte pattern.
std::vector<uint8_t> fake_frame(const FakeMac &dst, const FakeMac &src, size_t len);
// The lines that fn writes to standard error, each without the program's
// "krix_vxlan: " prefix (a line without it is returned whole).
FakeLines fake_logged(const std::function<void()> &fn);
// True when the learning table holds no entry.
bool fake_table_is_empty(void);

#endif
