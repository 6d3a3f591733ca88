#ifndef KESTROW_COMMON_DAEMON_H
#define KESTROW_COMMON_DAEMON_H

/*
 * Detaches the process: fork (the parent exits 0), new session, umask 0,
 * working directory "/", standard descriptors on /dev/null. Returns 0 in the
 * child, a negative errno after a failure reported on standard error.
 */
int daemonize(void);

#endif
