/*
 * XML-RPC control server: an xmlrpc-c Abyss server on the control port that
 * registers no method of its own; every call to a method the library does
 * not provide itself gets a fault from ctl_method_default. The server loop
 * runs on the control thread; ending it is how shutdown reaches that thread.
 */
#ifndef KESTROW_SERVICE_CTL_H
#define KESTROW_SERVICE_CTL_H

#include <xmlrpc-c/base.h>
#include <xmlrpc-c/server.h>
#include <xmlrpc-c/server_abyss.h>

struct app_ctx;

struct ctl_ctx {
    xmlrpc_server_abyss_parms parms;   // handed to xmlrpc_server_abyss_create
    xmlrpc_server_abyss_t *server;     // null until created
    xmlrpc_registry *registry;
    xmlrpc_server_abyss_sig *old_sig;  // handlers replaced by the library; restored on destroy
    int global_ready;                  // xmlrpc_server_abyss_global_init succeeded
    int client_ready;                  // xmlrpc_client_init2 succeeded
};

/*
 * Sets up the server on app->port and stores the record in app->ctl at once.
 * Returns 0; -22 for a null app; -12 without memory; -14 when a library step
 * fails (logged). After a failure the record stays in app->ctl with whatever
 * was created; ctl_destroy frees it.
 */
int ctl_init(app_ctx *app);

/* Runs the server loop until ctl_terminate ends it. 0; -22 without record or server. */
int ctl_run(ctl_ctx **ctl);

/*
 * Takes *ctl and clears it (under the lock that ctl_terminate holds, so a
 * terminate either finishes first or finds nothing), then tears down the
 * server and frees everything. 0; -22 without record.
 */
int ctl_destroy(ctl_ctx **ctl);

/*
 * Asks the running server loop to end. Safe from any thread (not from a
 * signal handler), any number of times, before the loop runs or after it
 * ended. 0; -22 without record or server, and then nothing is done.
 */
int ctl_terminate(ctl_ctx **ctl);

/* 0 when the text up to its terminator is valid UTF-8; -22 otherwise or for null. */
int ctl_check_utf8(const char *text);

/* The registry's default method: a fault with code 1 naming the called method. */
xmlrpc_value *ctl_method_default(xmlrpc_env *env, const char *host, const char *method_name,
                                 xmlrpc_value *params, void *server_info);

#endif
