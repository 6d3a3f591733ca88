/*
 * Creation and release of the service's application context.
 */
#include "service/app_ctx.h"

#include <cerrno>
#include <new>

/* Stores a new zero-filled context, cue timing and the input-loss threshold at their defaults, in *out. 0; -EINVAL if out is null; -ENOMEM without memory. */
int app_ctx_create(app_ctx **out)
{
    if (!out)
        return -EINVAL;
    app_ctx *ctx = new (std::nothrow) app_ctx();
    if (!ctx)
        return -ENOMEM;
    ctx->timing = splice_timing_default();
    ctx->input_loss_ms = 500;  // like the cue timing, not reset by an options file
    *out = ctx;
    return 0;
}

/* Frees *p and sets it to null. 0; -EINVAL if p or *p is null (a second destroy does nothing). */
int app_ctx_destroy(app_ctx **p)
{
    if (!p || !*p)
        return -EINVAL;
    delete *p;
    *p = nullptr;
    return 0;
}
