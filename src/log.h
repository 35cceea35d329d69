// The one logger of the bridge: standard error in the foreground, syslog in
// the background, debug lines only on request.
#ifndef KRIX_VXLAN_LOG_H
#define KRIX_VXLAN_LOG_H

#include <syslog.h>

// Set by -v: lines at LOG_DEBUG are written too.
extern int verbose;
// Set once the program runs in the background: lines go to syslog.
extern int use_syslog;

// True when lines at LOG_DEBUG are written. A caller whose arguments cost
// something to make (an address formatted as text) asks first, so that a
// quiet bridge does not pay for them on every frame.
inline bool log_debug_enabled(void)
{
	return verbose;
}

// Logs one line at a syslog level, with a printf format.
void log_line(int level, const char *format, ...) __attribute__((format(printf, 2, 3)));

#endif
