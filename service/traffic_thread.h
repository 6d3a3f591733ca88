/*
 * The service's traffic (traffic/traffic.h) and the thread that does its
 * file work: it picks up a new or rewritten schedule within
 * TRAFFIC_THREAD_PERIOD_MS, reads spots ahead as soon as a cue asks for
 * them, rewrites the verification file after each break, and copies the
 * schedule and spot counts into the channel status. The packet loop never
 * waits on it.
 */
#ifndef KESTROW_SERVICE_TRAFFIC_THREAD_H
#define KESTROW_SERVICE_TRAFFIC_THREAD_H

#include "splice/event_asrun.h"

struct app_ctx;
struct traffic;
struct traffic_thread;

#define TRAFFIC_THREAD_PERIOD_MS 500

/*
 * With --schedule: the traffic on app's options (clock: the sessions' air
 * clock, read on the main thread), its schedule and spots read once, and
 * the thread started; *out set. Without --schedule: 0 and *out null.
 * -ENOMEM (logged) without memory or a thread.
 */
int traffic_thread_start(app_ctx *app, const event_air_clock *clock, traffic_thread **out);

/* The traffic, for the sessions (planner, events, programme); null for a null thread. */
traffic *traffic_thread_traffic(traffic_thread *t);

/* Stops the thread, does the file work a last time (the verification file), frees *p; *p becomes null. */
void traffic_thread_stop(traffic_thread **p);

#endif
