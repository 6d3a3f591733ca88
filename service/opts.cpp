/*
 * Command line and options files. getopt_long does the scanning with GNU
 * permutation: all options of one list are taken first, and every argument
 * left over names an options file, read afterwards in the order given.
 */
#include "service/opts.h"

#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "service/app_ctx.h"
#include "common/utils.h"

namespace {

enum opt_id {
    OPT_HELP = 'h',
    OPT_PORT = 256,
    OPT_SRC_ADDR,
    OPT_DST_ADDR,
    OPT_SRC_IF,
    OPT_DST_IF,
    OPT_MUX_RATE,
    OPT_MAX_DELAY,
    OPT_FILLER,
    OPT_TRANSPORT_STREAM_ID,
    OPT_ORIGINAL_NETWORK_ID,
    OPT_SERVICE_ID,
    OPT_PMT_START_PID,
    OPT_SERVICE_NAME,
    OPT_SERVICE_PROVIDER,
    OPT_LOG_FILE_NAME,
    OPT_LOG_ROTATE_INTERVAL,
    OPT_DEMONIZE,
    OPT_NODEMONIZE,
    OPT_REALTIME_IO,
    OPT_CPU_AFFINITY,
    OPT_DEBUG,
    OPT_REALTIME_CPU,
};

const struct option long_options[] = {
    {"port", required_argument, nullptr, OPT_PORT},
    {"src-addr", required_argument, nullptr, OPT_SRC_ADDR},
    {"dst-addr", required_argument, nullptr, OPT_DST_ADDR},
    {"src-if", required_argument, nullptr, OPT_SRC_IF},
    {"dst-if", required_argument, nullptr, OPT_DST_IF},
    {"mux-rate", required_argument, nullptr, OPT_MUX_RATE},
    {"max-delay", required_argument, nullptr, OPT_MAX_DELAY},
    {"filler", required_argument, nullptr, OPT_FILLER},
    {"mpegts_transport_stream_id", required_argument, nullptr, OPT_TRANSPORT_STREAM_ID},
    {"mpegts_original_network_id", required_argument, nullptr, OPT_ORIGINAL_NETWORK_ID},
    {"mpegts_service_id", required_argument, nullptr, OPT_SERVICE_ID},
    {"mpegts_pmt_start_pid", required_argument, nullptr, OPT_PMT_START_PID},
    {"service_name", required_argument, nullptr, OPT_SERVICE_NAME},
    {"service_provider", required_argument, nullptr, OPT_SERVICE_PROVIDER},
    {"log-file-name", required_argument, nullptr, OPT_LOG_FILE_NAME},
    {"log-rotate-interval", required_argument, nullptr, OPT_LOG_ROTATE_INTERVAL},
    {"demonize", no_argument, nullptr, OPT_DEMONIZE},
    {"nodemonize", no_argument, nullptr, OPT_NODEMONIZE},
    {"help", no_argument, nullptr, OPT_HELP},
    {"realtime-io", no_argument, nullptr, OPT_REALTIME_IO},
    {"cpu-affinity", required_argument, nullptr, OPT_CPU_AFFINITY},
    {"debug", no_argument, nullptr, OPT_DEBUG},
    {"realtime-cpu", required_argument, nullptr, OPT_REALTIME_CPU},
    {nullptr, 0, nullptr, 0},
};

const char usage_text[] =
    KESTROW_BANNER "\n"
    "Usage:\n"
    "    KestrowApp [args]\n"
    "Where args:\n"
    "    --port=<N>                             xmlrpc control port\n"
    "    --demonize                         Become daemon on executing\n"
    "\n"
    "                                       Log file operation\n"
    "    --log-file-name=<STR>\n"
    "    --log-rotate-interval=<INT>\n"
    "\n"
    "    -h, --help                         Show this help and usage\n";

/*
 * Options files being read, outermost first, by device and inode, so that a
 * file naming itself (directly or through others) is recognised whatever
 * path names it. Only the thread parsing the options touches it.
 */
struct open_file {
    dev_t dev;
    ino_t ino;
};
open_file open_files[OPTS_FILE_MAX_DEPTH];
int open_depth;

/*
 * Copies a text value into its field; a value that does not fit with its
 * terminator is refused (-34) rather than cut, since a cut path or address
 * would silently point somewhere else.
 */
int set_text(char *field, const char *value)
{
    if (utils_strnlen(value, APP_TEXT_SIZE) >= APP_TEXT_SIZE)
        return -34;
    utils_strlcpy(field, value, APP_TEXT_SIZE);
    return 0;
}

/* MPEG-TS identifiers: base 0 (0x.. hexadecimal, 0.. octal), low 32 bits kept. */
int32_t to_id(const char *value)
{
    return (int32_t)(uint32_t)(unsigned long)strtol(value, nullptr, 0);
}

void write_defaults(app_ctx *app)
{
    utils_strlcpy(app->log_file_name, "KestrowApp.log", sizeof(app->log_file_name));
    app->log_rotate_interval = 86400;
    app->port = 14000;
    app->mux_rate = 20000000;
    app->max_delay = 900000;
}

/* Applies one option of the table; returns 0, or non-zero when its value is refused. */
int apply_option(app_ctx *app, int id, const char *arg)
{
    switch (id) {
    case OPT_PORT: app->port = (uint32_t)atoi(arg); return 0;
    case OPT_SRC_ADDR: return set_text(app->src_addr, arg);
    case OPT_DST_ADDR: return set_text(app->dst_addr, arg);
    case OPT_SRC_IF: return set_text(app->src_if, arg);
    case OPT_DST_IF: return set_text(app->dst_if, arg);
    case OPT_MUX_RATE: app->mux_rate = atoi(arg); return 0;
    case OPT_MAX_DELAY: app->max_delay = atoi(arg); return 0;
    case OPT_FILLER: return set_text(app->filler_path, arg);
    case OPT_TRANSPORT_STREAM_ID: app->transport_stream_id = to_id(arg); return 0;
    case OPT_ORIGINAL_NETWORK_ID: app->original_network_id = to_id(arg); return 0;
    case OPT_SERVICE_ID: app->service_id = to_id(arg); return 0;
    case OPT_PMT_START_PID: app->pmt_start_pid = to_id(arg); return 0;
    case OPT_SERVICE_NAME: return set_text(app->service_name, arg);
    case OPT_SERVICE_PROVIDER: return set_text(app->service_provider, arg);
    case OPT_LOG_FILE_NAME: return set_text(app->log_file_name, arg);
    case OPT_LOG_ROTATE_INTERVAL: app->log_rotate_interval = atoi(arg); return 0;
    case OPT_DEMONIZE: app->demonize = 1; return 0;
    case OPT_NODEMONIZE: app->nodemonize = 1; return 0;
    case OPT_REALTIME_IO: return 0;
    case OPT_CPU_AFFINITY: (void)atoi(arg); return 0;
    case OPT_DEBUG: app->debug++; return 0;
    case OPT_REALTIME_CPU: (void)atoi(arg); return 0;
    default: return -22;
    }
}

void reject(int argc, char **argv)
{
    int at = optind - 1;
    const char *element = (at >= 0 && at < argc && argv[at]) ? argv[at] : "";
    fprintf(stderr, "ERROR: Incorrect argument! [%s]\n", element);
    print_usage();
}

/* Strips the set "\n\t\r " from both ends; returns the start of what is left. */
char *strip(char *line)
{
    static const char blanks[] = "\n\t\r ";
    size_t len = strlen(line);
    while (len > 0 && strchr(blanks, line[len - 1]))
        line[--len] = '\0';
    while (*line && strchr(blanks, *line))
        line++;
    return line;
}

} // namespace

void print_usage(void)
{
    if (write(STDERR_FILENO, usage_text, sizeof(usage_text) - 1) < 0) {
        // Nothing else can report a failing standard error.
    }
}

int opts_parse(app_ctx *app, int argc, char **argv)
{
    optind = 0;
    opterr = 0;
    optopt = 0;
    write_defaults(app);

    for (;;) {
        int id = getopt_long(argc, argv, "h", long_options, nullptr);
        if (id == -1)
            break;
        if (id == OPT_HELP) {
            print_usage();
            return -1;
        }
        if (apply_option(app, id, optarg) != 0) {
            reject(argc, argv);
            return -1;
        }
    }

    /*
     * A nested parse restarts getopt_long's global scanner, so the leftover
     * arguments are fixed here, before the first file is read. The array
     * itself is not touched by a nested parse, which scans its own list.
     */
    std::vector<char *> files(argv + optind, argv + argc);
    for (char *file : files) {
        if (opts_from_file(file, app, opts_parse) != 0)
            return -1;
    }
    return 0;
}

int opts_from_file(const char *path, app_ctx *app, opts_parse_fn parse)
{
    FILE *f = fopen(path, "r");
    if (!f) {
        fprintf(stderr, "%s: failed to open [%s]\n", "opts_from_file", path);
        return 1;
    }

    struct stat st;
    if (fstat(fileno(f), &st) != 0) {
        fprintf(stderr, "%s: failed to open [%s]\n", "opts_from_file", path);
        fclose(f);
        return 1;
    }
    for (int i = 0; i < open_depth; i++) {
        if (open_files[i].dev == st.st_dev && open_files[i].ino == st.st_ino) {
            fprintf(stderr, "%s: options file [%s] names itself through the files it names; refused\n",
                    "opts_from_file", path);
            fclose(f);
            return 1;
        }
    }
    if (open_depth >= OPTS_FILE_MAX_DEPTH) {
        fprintf(stderr, "%s: options file [%s] nested deeper than %d files; refused\n",
                "opts_from_file", path, OPTS_FILE_MAX_DEPTH);
        fclose(f);
        return 1;
    }

    int result = 0;
    int count = 1;
    char *line = (char *)calloc(1, APP_TEXT_SIZE);
    char **list = (char **)calloc(OPTS_FILE_MAX_ENTRIES, sizeof(char *));
    if (!line || !list) {
        fprintf(stderr, "%s: out of memory reading [%s]\n", "opts_from_file", path);
        result = 1;
        goto out_free;
    }
    list[0] = strdup(path);
    if (!list[0]) {
        fprintf(stderr, "%s: out of memory reading [%s]\n", "opts_from_file", path);
        result = 1;
        goto out_free;
    }

    for (;;) {
        memset(line, 0, APP_TEXT_SIZE);
        if (!fgets(line, APP_TEXT_SIZE, f))
            break;
        char *arg = strip(line);
        if (*arg == '\0' || *arg == '#')
            continue;
        if (count >= OPTS_FILE_MAX_ENTRIES) {
            fprintf(stderr, "%s: options file [%s] holds more than %d arguments; refused\n",
                    "opts_from_file", path, OPTS_FILE_MAX_ENTRIES - 1);
            result = 1;
            goto out_free;
        }
        list[count] = strdup(arg);
        if (!list[count]) {
            fprintf(stderr, "%s: out of memory reading [%s]\n", "opts_from_file", path);
            result = 1;
            goto out_free;
        }
        count++;
    }

    if (count >= 2) {
        open_files[open_depth].dev = st.st_dev;
        open_files[open_depth].ino = st.st_ino;
        open_depth++;
        result = parse(app, count, list);
        open_depth--;
    }

out_free:
    if (list) {
        for (int i = 0; i < OPTS_FILE_MAX_ENTRIES; i++)
            free(list[i]);
    }
    free(list);
    free(line);
    fclose(f);
    return result;
}
