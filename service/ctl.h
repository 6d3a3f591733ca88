/*
 * Control server: the control port's bounded HTTP front (http_front.h) with
 * xmlrpc-c's method registry behind /RPC2: kestrow.status reports the
 * channel's status; every other method gets a fault from
 * ctl_method_default. /metrics answers GET with the same figures in the
 * Prometheus text format; the operator's console (console.h) answers the
 * rest: its page, its JSON state and the thumbnails. Nothing on the port
 * changes or stops the service. The server loop runs on the control
 * thread; ending it is how shutdown reaches that thread.
 */
#ifndef KESTROW_SERVICE_CTL_H
#define KESTROW_SERVICE_CTL_H

#include <cstddef>
#include <cstdint>

#include <xmlrpc-c/base.h>
#include <xmlrpc-c/server.h>

struct app_ctx;
struct channel_status;
struct http_front;

#define CTL_METRICS_SIZE 16384  // longest /metrics body

struct ctl_ctx {
    app_ctx *app;
    http_front *front;                 // the port's server; null when none
    int listening;                     // the front is set up: the loop may run
    xmlrpc_registry *registry;
};

/*
 * Sets up the server on app->port (on the address app->ctl_host, every
 * address when empty) and stores the record in app->ctl at once. Returns 0;
 * -EINVAL for a null app; -ENOMEM without memory; -EIO when a step of the
 * XML-RPC library fails; a negative errno when the port cannot be bound
 * (-EADDRINUSE when it is in use, -EADDRNOTAVAIL for an address of no
 * interface) or listened on. Each failure is logged once, with its reason.
 * After a failure the record stays in app->ctl with whatever was created;
 * ctl_destroy frees it.
 */
int ctl_init(app_ctx *app);

/* Runs the server loop until ctl_terminate ends it. 0; -EINVAL without a listening record. */
int ctl_run(ctl_ctx **ctl);

/*
 * Takes *ctl and clears it (under the lock that ctl_terminate holds, so a
 * terminate either finishes first or finds nothing), then tears down the
 * server and frees everything. 0; -EINVAL without record.
 */
int ctl_destroy(ctl_ctx **ctl);

/*
 * Asks the running server loop to end. Safe from any thread (not from a
 * signal handler), any number of times, before the loop runs or after it
 * ended. 0; -EINVAL without a listening record, and then nothing is done.
 */
int ctl_terminate(ctl_ctx **ctl);

/* 0 when the text up to its terminator is valid UTF-8; -EINVAL otherwise or for null. */
int ctl_check_utf8(const char *text);

/* The registry's default method: a fault with code 1 naming the called method. */
xmlrpc_value *ctl_method_default(xmlrpc_env *env, const char *host, const char *method_name,
                                 xmlrpc_value *params, void *server_info);

/*
 * Writes the /metrics body for status s at now_us (status_now_us's clock)
 * into buf. Returns its length; -EINVAL for a null argument; -ENOSPC when size is
 * too small.
 */
int ctl_metrics_text(channel_status *s, int64_t now_us, char *buf, size_t size);

#endif
