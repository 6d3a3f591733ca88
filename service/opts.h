/*
 * Command line and options files of the service. Every setting is a long
 * option, given on the command line or, one argument per line, in an options
 * file named on the command line (or in another options file).
 */
#ifndef KESTROW_SERVICE_OPTS_H
#define KESTROW_SERVICE_OPTS_H

struct app_ctx;

#define OPTS_FILE_MAX_ENTRIES 4096  // entry 0 (the file's path) plus at most 4095 lines
#define OPTS_FILE_MAX_DEPTH   16    // options files open at once, the outermost included

/* Banner: first log line of a run and first line of the usage text. */
#define KESTROW_BANNER "KestrowApp - " KESTROW_VERSION ", live ad-break splicer for MPEG transport streams"

/* The option parser; opts_from_file hands a file's argument list to it. */
typedef int (*opts_parse_fn)(app_ctx *app, int argc, char **argv);

/*
 * Writes the five non-zero defaults into app, then takes the options of argv
 * (argv[0] is the program name or the options file's own path) and reads
 * every other argument as an options file, in order, after the options.
 * Every number must be read whole and in range; --src-addr and --dst-addr
 * are required as HOST:PORT, --filler as a readable file. Messages go to
 * standard error, the version to standard output. Returns 0 to run; -ECANCELED
 * (ECANCELED) after --version: nothing to run, status 0; -1 (EPERM) when
 * the start is refused (help shown, an option or options file refused, a
 * required option missing): status 255. Not re-entrant across threads: it
 * uses getopt_long's global state.
 */
int opts_parse(app_ctx *app, int argc, char **argv);

/*
 * Reads the options file at path into an argument list (entry 0 the path,
 * then every line that is neither blank nor a "#" comment, stripped of
 * leading and trailing "\n\t\r ") and hands it to parse when it holds at
 * least one argument. Returns parse's result, 0 for a file without
 * arguments, or a negative errno, reported on standard error with nothing
 * of the file applied: the open's errno, -ELOOP when the file names
 * itself directly or through other files or nests deeper than
 * OPTS_FILE_MAX_DEPTH, -7 (E2BIG) for more than OPTS_FILE_MAX_ENTRIES - 1
 * arguments, -ENOMEM without memory.
 */
int opts_from_file(const char *path, app_ctx *app, opts_parse_fn parse);

/* Writes the usage text to standard error in one write of its exact length. */
void print_usage(void);

#endif
