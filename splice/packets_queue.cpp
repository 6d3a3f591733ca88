/*
 * Fixed-capacity FIFO of packet pointers. The array has capacity + 1 entries
 * and never grows; takes move the later entries one place towards the head,
 * so the held packets always sit at entries 0 .. count - 1 in push order.
 */
#include "splice/packets_queue.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

extern "C" {
#include <libavcodec/packet.h>
}

int packets_queue_create(packets_queue **out, int32_t capacity)
{
    if (!out)
        return -EINVAL;
    *out = nullptr;
    if (capacity < 0 || capacity == INT32_MAX) // count must reach capacity + 1
        return -EINVAL;

    packets_queue *q = (packets_queue *)calloc(1, sizeof(*q));
    if (!q)
        return -ENOMEM;
    q->items = (AVPacket **)calloc((size_t)capacity + 1, sizeof(*q->items));
    if (!q->items) {
        free(q);
        return -ENOMEM;
    }
    q->capacity = capacity;
    *out = q;
    return 0;
}

int packets_queue_push(packets_queue *q, AVPacket *pkt)
{
    if (!q)
        return -EINVAL;
    if (q->count > q->capacity) {
        q->refused++;
        return -ENOMEM;
    }
    q->items[q->count++] = pkt;
    return q->count;
}

/* Takes entry index out of q into *pkt and closes the gap. */
static int take(packets_queue *q, int32_t index, AVPacket **pkt)
{
    *pkt = q->items[index];
    memmove(&q->items[index], &q->items[index + 1],
            (size_t)(q->count - index - 1) * sizeof(*q->items));
    q->count--;
    q->items[q->count] = nullptr;
    return q->count;
}

int packets_queue_pop(packets_queue *q, AVPacket **pkt)
{
    if (!pkt)
        return -EINVAL;
    *pkt = nullptr;
    if (!q)
        return -EINVAL;
    if (q->count <= 0)
        return -EAGAIN;
    return take(q, 0, pkt);
}

int packets_queue_destroy(packets_queue **p)
{
    if (!p)
        return -EINVAL;
    packets_queue *q = *p;
    *p = nullptr;
    if (!q)
        return -EINVAL;
    for (int32_t i = 0; i < q->count; i++)
        av_packet_free(&q->items[i]);
    free(q->items);
    free(q);
    return 0;
}
