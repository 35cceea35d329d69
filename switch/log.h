/* log.h: the switch's one logger: standard error, or syslog in the background. */
#ifndef SWITCH_LOG_H
#define SWITCH_LOG_H

#include <syslog.h>

/* Set by -v; LOG_DEBUG lines are dropped without it. */
extern bool log_verbose;

/* Sends every later line to syslog under the ident krix_switch. */
void log_to_syslog(void);

/* Writes one line at a syslog level. */
void log_line(int prio, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

#endif
