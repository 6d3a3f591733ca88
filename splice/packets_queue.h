/*
 * Fixed-capacity first-in first-out list of packet pointers. The queue owns
 * what it holds: destroy frees every packet still queued. It holds up to
 * capacity + 1 packets; push is refused only once count exceeds capacity.
 */
#ifndef KESTROW_SPLICE_PACKETS_QUEUE_H
#define KESTROW_SPLICE_PACKETS_QUEUE_H

#include <cstdint>

struct AVPacket;

struct packets_queue {
    int32_t capacity;
    int32_t count;     // 0 .. capacity + 1
    AVPacket **items;  // capacity + 1 entries, head at 0
    int64_t refused;   // pushes refused because the queue was full, since it was created
};

/* 0; -EINVAL if out is null; -ENOMEM without memory (*out stays null). */
int packets_queue_create(packets_queue **out, int32_t capacity);
/*
 * Appends pkt at the tail. On success the queue owns pkt and the new count is
 * returned; when full -ENOMEM is returned (and counted in refused), without q -EINVAL;
 * on failure pkt is still the caller's.
 */
int packets_queue_push(packets_queue *q, AVPacket *pkt);
/*
 * Hands the head to *pkt (ownership passes) and returns the new count;
 * -EAGAIN when the queue is empty, -EINVAL without q or pkt (*pkt null then).
 */
int packets_queue_pop(packets_queue *q, AVPacket **pkt);
/* Frees every packet held, then the queue; *p becomes null. 0; -EINVAL without a queue. */
int packets_queue_destroy(packets_queue **p);

#endif
