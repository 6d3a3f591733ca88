/*
 * Creation and release of the service's application context.
 */
#include "service/app_ctx.h"

#include <cerrno>
#include <cstdlib>

/* Stores a new zero-filled context, cue timing at its defaults, in *out. 0; -22 if out is null; -12 without memory. */
int app_ctx_create(app_ctx **out)
{
    if (!out)
        return -EINVAL;
    app_ctx *ctx = (app_ctx *)calloc(1, sizeof(*ctx));
    if (!ctx)
        return -ENOMEM;
    ctx->timing = splice_timing_default();
    *out = ctx;
    return 0;
}

/* Frees *p and sets it to null. 0; -22 if p or *p is null (a second destroy does nothing). */
int app_ctx_destroy(app_ctx **p)
{
    if (!p || !*p)
        return -EINVAL;
    free(*p);
    *p = nullptr;
    return 0;
}
