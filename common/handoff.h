/*
 * A lock two threads take in turn, where one of them (the worker) holds it
 * for long stretches and lets go only around its blocking waits: the other
 * (the owner of time) asks for it and gets it at the worker's next wait,
 * instead of racing the worker for it when the worker comes back.
 *
 * Owner:   handoff_take(h) ... handoff_give(h)
 * Worker:  handoff_acquire(h) ... handoff_release(h) <blocking call> handoff_acquire(h) ... handoff_release(h)
 */
#ifndef KESTROW_COMMON_HANDOFF_H
#define KESTROW_COMMON_HANDOFF_H

#include <atomic>
#include <condition_variable>
#include <mutex>

struct handoff {
    std::mutex lock;
    std::condition_variable turn;   // the worker waits here while the owner asks
    std::atomic<int> asking{0};     // owners waiting for the lock
};

/* The owner's side: waits for the lock, ahead of the worker's next acquire. */
void handoff_take(handoff *h);
void handoff_give(handoff *h);

/* The worker's side: acquire lets an asking owner go first. */
void handoff_acquire(handoff *h);
void handoff_release(handoff *h);

#endif
