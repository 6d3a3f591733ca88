/*
 * The service's stream sessions: the UDP URLs from the options, one relay
 * (pipeline/relay.h) per session from the UDP input to the UDP output, and
 * the log lines that word what the relay and the splice rules report.
 */
#ifndef KESTROW_SERVICE_SESSION_H
#define KESTROW_SERVICE_SESSION_H

struct app_ctx;

/*
 * Builds the URLs, routes the media library's log into the logger, loads the
 * filler and runs one stream session after another until the stop flag is
 * set. Returns 0 after the stop flag was set, or the loader's code (logged)
 * when the filler cannot be loaded.
 */
int slicer_main_loop(app_ctx *app);

#endif
