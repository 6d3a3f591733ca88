/*
 * The service's stream sessions: UDP input, MPEG-TS output mirroring every
 * input stream on its PID, the packet loop and the splice controller.
 */
#ifndef KESTROW_PIPELINE_SLICER_H
#define KESTROW_PIPELINE_SLICER_H

struct app_ctx;

/*
 * Builds the URLs, routes the media library's log into the logger, loads the
 * filler and runs one stream session after another until the stop flag is
 * set. Returns 0 after the stop flag was set, or at once when the filler
 * cannot be loaded.
 */
int slicer_main_loop(app_ctx *app);

#endif
