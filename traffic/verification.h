/*
 * The verification file (.VER) that goes back to the traffic system: every
 * line of the schedule in its place, LOI and NUL records with what aired
 * written at their byte positions: 42-47 aired time HHMMSS (local wall
 * clock of the spot's first picture at the output), 49-56 aired length
 * HHMMSSCC, 58-60 aired position, 74-77 status (schedule_status, four
 * digits). The file is replaced whole (a temporary file renamed over it),
 * so that a traffic system collecting it never reads half a file.
 */
#ifndef KESTROW_TRAFFIC_VERIFICATION_H
#define KESTROW_TRAFFIC_VERIFICATION_H

#include <cstddef>

#include "traffic/schedule.h"

/*
 * Where the verification file of the schedule at schedule_path goes: option
 * when given (a folder: the file goes into it), else beside the schedule;
 * the name is the schedule's with ".VER" (".ver" after a lower-case
 * ".sch") in place of its extension. 0; -EINVAL for a null argument; -ENAMETOOLONG when
 * buf is too small.
 */
int verification_path(const char *schedule_path, const char *option, char *buf, size_t size);

/*
 * Record r as the verification file gives it back, without line end, into
 * buf. Returns the length; -EINVAL for a null argument; -ENOSPC when buf is too small.
 */
int verification_line(const schedule_record *r, char *buf, size_t size);

/*
 * The whole verification file of s, lines ending as in the schedule, in a
 * new string (the caller frees it) of *size bytes; null without memory.
 */
char *verification_text(const schedule *s, size_t *size);

/*
 * Writes size bytes of text to path through "path.tmp" and a rename. 0; the
 * failing step's -errno (the temporary file is removed, path unchanged);
 * -EINVAL for a null argument.
 */
int verification_save(const char *path, const char *text, size_t size);

/* verification_text of s saved at path: 0, -ENOMEM or verification_save's result. */
int verification_write(const schedule *s, const char *path);

#endif
