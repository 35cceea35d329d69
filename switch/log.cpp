/* log.cpp: standard error in the foreground, syslog once in the background. */
#include "log.h"

#include <cstdarg>
#include <cstdio>

bool log_verbose = false;
static bool log_syslog = false;

void log_to_syslog(void)
{
	openlog("krix_switch", LOG_PID, LOG_DAEMON);
	log_syslog = true;
}

void log_line(int prio, const char *fmt, ...)
{
	va_list ap;

	if (prio == LOG_DEBUG && !log_verbose)
		return;
	va_start(ap, fmt);
	if (log_syslog) {
		vsyslog(prio, fmt, ap);
	} else {
		fputs("krix_switch: ", stderr);
		vfprintf(stderr, fmt, ap);
		fputc('\n', stderr);
	}
	va_end(ap);
}
