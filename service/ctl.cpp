/*
 * XML-RPC control server on xmlrpc-c's Abyss server. ctl_init runs on the
 * main thread, ctl_run and ctl_destroy on the control thread, ctl_terminate
 * on whichever thread handles a stop request.
 */
#include "service/ctl.h"

#include <libxml/parser.h>
#include <xmlrpc-c/client.h>

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "service/app_ctx.h"
#include "common/log.h"

namespace {

/*
 * Guards the app's ctl pointer and the record's server pointer between the
 * thread that sets them up or tears them down and the thread that asks the
 * server to stop, so a terminate never works on a server being destroyed.
 */
std::mutex ctl_lock;

int init_failed(xmlrpc_env *env, const char *step)
{
    log_printf(LOG_ERROR, "ctl_init: %s failed", step);
    xmlrpc_env_clean(env);
    return -14;
}

} // namespace

xmlrpc_value *ctl_method_default(xmlrpc_env *env, const char *host, const char *method_name,
                                 xmlrpc_value *params, void *server_info)
{
    (void)host;
    (void)params;
    (void)server_info;
    xmlrpc_env_set_fault_formatted(env, 1, "%s: method %s not bypassed", "ctl_method_default",
                                   method_name ? method_name : "");
    return nullptr;
}

int ctl_init(app_ctx *app)
{
    if (!app)
        return -22;

    ctl_ctx *ctl = (ctl_ctx *)calloc(1, sizeof(*ctl));
    if (!ctl)
        return -12;
    {
        std::lock_guard<std::mutex> guard(ctl_lock);
        app->ctl = ctl;
    }

    xmlInitParser();

    xmlrpc_env env;
    xmlrpc_env_init(&env);

    ctl->registry = xmlrpc_registry_new(&env);
    if (env.fault_occurred || !ctl->registry)
        return init_failed(&env, "xmlrpc_registry_new");

    // No configuration file and no built-in shutdown method: only a
    // terminating signal stops the service.
    ctl->parms.config_file_name = nullptr;
    ctl->parms.registryP = ctl->registry;
    ctl->parms.port_number = app->port;
    ctl->parms.enable_shutdown = 0;

    xmlrpc_registry_set_default_method(&env, ctl->registry, ctl_method_default, app);
    if (env.fault_occurred)
        return init_failed(&env, "xmlrpc_server_abyss_global_init");

    xmlrpc_server_abyss_global_init(&env);
    if (env.fault_occurred)
        return init_failed(&env, "xmlrpc_server_abyss_global_init");
    ctl->global_ready = 1;

    xmlrpc_server_abyss_t *server = nullptr;
    xmlrpc_server_abyss_create(&env, &ctl->parms, XMLRPC_APSIZE(log_file_name), &server);
    if (env.fault_occurred || !server)
        return init_failed(&env, "xmlrpc_server_abyss_create");
    {
        std::lock_guard<std::mutex> guard(ctl_lock);
        ctl->server = server;
    }

    xmlrpc_server_abyss_setup_sig(&env, ctl->server, &ctl->old_sig);
    if (env.fault_occurred)
        return init_failed(&env, "xmlrpc_server_abyss_setup_sig");

    xmlrpc_client_init2(&env, 0, "KestrowApp", KESTROW_VERSION, nullptr, 0);
    if (env.fault_occurred)
        return init_failed(&env, "xmlrpc_client_init2");
    ctl->client_ready = 1;

    xmlrpc_env_clean(&env);
    return 0;
}

int ctl_run(ctl_ctx **pctl)
{
    if (!pctl || !*pctl || !(*pctl)->server)
        return -22;

    xmlrpc_env env;
    xmlrpc_env_init(&env);
    xmlrpc_server_abyss_run_server(&env, (*pctl)->server);
    if (env.fault_occurred)
        log_printf(LOG_ERROR, "%s: xmlrpc_server_abyss_run_server failed: %s (%d)", "ctl_run",
                   env.fault_string, env.fault_code);
    else
        log_printf(LOG_INFO, "%s: xmlrpc_server_abyss_run_server finished", "ctl_run");
    xmlrpc_env_clean(&env);
    return 0;
}

int ctl_destroy(ctl_ctx **pctl)
{
    if (!pctl)
        return -22;
    ctl_ctx *ctl;
    {
        std::lock_guard<std::mutex> guard(ctl_lock);
        ctl = *pctl;
        *pctl = nullptr;
    }
    if (!ctl)
        return -22;

    if (ctl->server) {
        if (ctl->old_sig) {
            xmlrpc_server_abyss_restore_sig(ctl->old_sig);
            free(ctl->old_sig);
        }
        xmlrpc_server_abyss_destroy(ctl->server);
    }
    if (ctl->global_ready)
        xmlrpc_server_abyss_global_term();
    if (ctl->registry)
        xmlrpc_registry_free(ctl->registry);
    if (ctl->client_ready)
        xmlrpc_client_cleanup();
    free(ctl);
    xmlCleanupParser();
    return 0;
}

int ctl_terminate(ctl_ctx **pctl)
{
    if (!pctl)
        return -22;
    std::lock_guard<std::mutex> guard(ctl_lock);
    if (!*pctl || !(*pctl)->server)
        return -22;
    xmlrpc_env env;
    xmlrpc_env_init(&env);
    xmlrpc_server_abyss_terminate(&env, (*pctl)->server);
    xmlrpc_env_clean(&env);
    return 0;
}

int ctl_check_utf8(const char *text)
{
    if (!text)
        return -22;
    xmlrpc_env env;
    xmlrpc_env_init(&env);
    xmlrpc_validate_utf8(&env, text, strlen(text));
    int ret = env.fault_occurred ? -22 : 0;
    xmlrpc_env_clean(&env);
    return ret;
}
