#include "common/handoff.h"

void handoff_take(handoff *h)
{
    h->asking.fetch_add(1);
    h->lock.lock();
    h->asking.fetch_sub(1);
}

void handoff_give(handoff *h)
{
    h->lock.unlock();
    h->turn.notify_all();
}

void handoff_acquire(handoff *h)
{
    std::unique_lock<std::mutex> lk(h->lock);
    h->turn.wait(lk, [h] { return h->asking.load() == 0; });
    lk.release();
}

void handoff_release(handoff *h)
{
    h->lock.unlock();
}
