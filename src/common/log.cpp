#include "common/log.h"

#include <cstdarg>
#include <syslog.h>

void log_open()
{
    openlog("rtkfeedd", LOG_PID | LOG_NDELAY, LOG_DAEMON);
}

void log_err(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vsyslog(LOG_ERR, fmt, ap);
    va_end(ap);
}

void log_notice(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vsyslog(LOG_NOTICE, fmt, ap);
    va_end(ap);
}
