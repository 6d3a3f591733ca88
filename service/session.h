/*
 * The service's stream sessions: the UDP URLs from the options, one relay
 * (relay/relay.h) per session from the UDP input to the UDP output, and
 * the log lines that word what the relay and the splice rules report.
 */
#ifndef KESTROW_SERVICE_SESSION_H
#define KESTROW_SERVICE_SESSION_H

struct app_ctx;

#include <cerrno>

/* A session's result when the options refuse the input's layout (a collision). */
#define SLICER_CONFIG_FAULT (-ENOTRECOVERABLE)

/*
 * Builds the URLs, routes the media library's log into the logger, loads the
 * filler and runs one stream session after another until the stop flag is
 * set. Returns 0 after the stop flag was set, the loader's code (logged)
 * when the filler cannot be loaded, or SLICER_CONFIG_FAULT (logged) when
 * the output identity the options ask for collides with the input: the
 * sessions stop and the service ends.
 */
int slicer_main_loop(app_ctx *app);

#endif
