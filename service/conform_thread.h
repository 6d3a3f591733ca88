/*
 * The service's conforming ahead of time: a thread that brings every spot
 * of the schedule in force, and a filler that is no transport stream (.ts),
 * into the channel's format and loudness (conform/conform.h) once the first
 * session has told it that format, each file in a process of its own at
 * the lowest priority (nice 19, SCHED_IDLE; service/conform_worker.h). A new or re-read schedule (a new day's included) queues its spots
 * again; a conformed copy is done once and kept in the cache beside the
 * files, where the spot store and the next session's filler load it. The
 * packet path and the breaks never wait on it: a spot not conformed when
 * its break comes airs as the spot store decides (not ready: 1002).
 */
#ifndef KESTROW_SERVICE_CONFORM_THREAD_H
#define KESTROW_SERVICE_CONFORM_THREAD_H

#include <cstddef>

struct AVFormatContext;
struct app_ctx;
struct conform_thread;
struct traffic;

/*
 * Starts the thread on app's options when there is work for it: a traffic
 * (its schedule's spots; may be null) or a filler that is no .ts. 0 with
 * *out null when there is none; -12 (logged) without memory or a thread.
 */
int conform_thread_start(app_ctx *app, traffic *traffic_ctx, conform_thread **out);

/*
 * The channel's format from a session's spliced programme and its opened
 * input (main thread, before the relay runs). A format other than the one
 * in force queues every file again. Takes nothing; a null thread does nothing.
 */
void conform_thread_set_target(conform_thread *c, const AVFormatContext *programme, const AVFormatContext *input);

/*
 * The conformed copy of the filler, once there is one that the session has
 * not taken yet: its path into path and 1; else 0.
 */
int conform_thread_filler(conform_thread *c, char *path, size_t size);

/*
 * The filler file to load at the start, into path (size bytes): the
 * conformed copy of a filler that is no .ts when the cache has one for the
 * file as it is now (1), else --filler as it is: 0 for a .ts, -EAGAIN for
 * one still to be conformed (it can serve only if it is a transport stream).
 */
int conform_thread_filler_at_start(const app_ctx *app, char *path, size_t size);

/* Stops the thread (a conforming in progress is abandoned between frames), frees *p; *p becomes null. */
void conform_thread_stop(conform_thread **p);

#endif
