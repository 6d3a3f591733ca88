/*
 * Conforming in a process of its own. The work of conforming a spot
 * (decoding, scaling, encoding HD pictures, measuring loudness) runs in a
 * child process of the lowest priority: the service's own program started
 * again (/proc/self/exe, the same build even after an upgrade replaced the
 * file) with CONFORM_WORKER_ARG, reading its one task from a pipe and
 * writing its outcome back. A thread of the lowest priority inside the
 * service would share with the packet path whatever it holds when the CPUs
 * are busy and it gets no time: the media libraries' locks (the encoders'
 * opening is serialised), the allocator's arenas, the logger; in a process of
 * its own it shares nothing, its memory goes with it, and a file that
 * crashes a decoder costs that file only.
 */
#ifndef KESTROW_SERVICE_CONFORM_WORKER_H
#define KESTROW_SERVICE_CONFORM_WORKER_H

#include <atomic>

#include "conform/conform.h"

#define CONFORM_WORKER_ARG "--conform-worker"

/*
 * Conforms <dir>/<name> into cache (conform_run) in a child process at the
 * lowest priority (nice 19, SCHED_IDLE). Waits for it; stop non-zero kills
 * it (-EINTR). Returns what conform_run returned, with *res filled; a child
 * that could not start or ended without an outcome: -ECHILD, *res saying why.
 */
int conform_worker_run(const char *dir, const char *name, const char *cache, const conform_target *t,
                       conform_result *res, const std::atomic<int> *stop);

/* The child's side: reads the task from standard input, works, writes the outcome. The exit status. */
int conform_worker_main(void);

#endif
