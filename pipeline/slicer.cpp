/*
 * Stand-in for the stream sessions until the live pipeline is in place: the
 * main thread waits here for the stop flag.
 */
#include "pipeline/slicer.h"

#include <unistd.h>

#include "common/app_ctx.h"

int slicer_main_loop(app_ctx *app)
{
    if (!app || !app->stop_flag)
        return -22;
    while (app->stop_flag->load() == 0)
        usleep(20000);
    return 0;
}
