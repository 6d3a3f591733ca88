/*
 * The words of the events, one wording for both programs: each event
 * becomes its lines of text, each with its severity (LOG_INFO or
 * LOG_ERROR, common/log.h). The programs only frame them: the service puts
 * the function name in front and logs them, the demo prints them on its
 * console. An event that has no words (EVENT_PROGRESS) gives no line.
 */
#ifndef KESTROW_EVENT_EVENT_TEXT_H
#define KESTROW_EVENT_EVENT_TEXT_H

#include "event/event.h"

/* Public SCTE-35 decoders into which an operator can paste a logged cue. */
#define EVENT_SCTE35_DECODER_A "https://tools.middleman.tv/scte35-parser"
#define EVENT_SCTE35_DECODER_B "https://comcast.github.io/scte35-js/"

/* One line of an event's wording; text is valid during the call only. */
typedef void (*event_line_fn)(void *opaque, int severity, const char *text);

/*
 * Words ev: calls fn once per line, in order, with the line's severity and
 * its text (no line feed). A cue's bytes make one line of upper-case
 * hexadecimal, however long. Returns the number of lines; -EINVAL without ev
 * or fn.
 */
int event_text(const event *ev, event_line_fn fn, void *opaque);

#endif
