#include "log.h"

#include <stdarg.h>
#include <stdio.h>

int verbose = 0;
int use_syslog = 0;

static const char PROGRAM_NAME[] = "krix_vxlan";

void log_line(int level, const char *format, ...)
{
	if (!verbose && level == LOG_DEBUG)
		return;

	va_list ap;
	va_start(ap, format);
	if (use_syslog) {
		// The level alone is the priority: the facility given to openlog
		// applies.
		vsyslog(level, format, ap);
	} else {
		fprintf(stderr, "%s: ", PROGRAM_NAME);
		vfprintf(stderr, format, ap);
		fputc('\n', stderr);
	}
	va_end(ap);
}
