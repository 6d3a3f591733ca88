// libFuzzer target for the service's options: every input is read twice,
// once as an options file (opts_from_file on a file holding exactly the
// input) and once as a command line (opts_parse on argv made of the input's
// lines, each line one element, as a shell would pass them). Options files
// named by the input are looked up in the current directory, which
// run_fuzz.sh fills with a few fixture files (nested, self-naming, refused,
// oversized); inputs containing '/' are skipped, so no other file of the
// machine is ever opened. Besides the sanitizers, the checks below catch
// results outside the parser's contract and text fields left unterminated.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "service/app_ctx.h"
#include "service/opts.h"
#include "silence.h"

namespace {

const char INPUT_FILE[] = "fuzz-input.opts";

/* Every text field holds its terminator within APP_TEXT_SIZE bytes. */
void check_terminated(const app_ctx *app)
{
    const char *fields[] = {app->service_name, app->service_provider, app->src_addr,
                            app->dst_addr,     app->src_if,           app->dst_if,
                            app->filler_path,  app->log_file_name};
    for (const char *f : fields) {
        if (!memchr(f, '\0', APP_TEXT_SIZE))
            abort();
    }
}


void run_file(const uint8_t *data, size_t size)
{
    FILE *f = fopen(INPUT_FILE, "wb");
    if (!f)
        abort();
    if (size && fwrite(data, 1, size, f) != size)
        abort();
    fclose(f);

    app_ctx *app = nullptr;
    if (app_ctx_create(&app) != 0)
        abort();
    int ret = opts_from_file(INPUT_FILE, app, opts_parse);
    if (ret > 0 || ret < -4095)  // the parser's result or the reader's negative errno
        abort();
    check_terminated(app);
    app_ctx_destroy(&app);
}

void run_argv(const uint8_t *data, size_t size)
{
    /* argv[0] and one element per line; the elements live in one buffer. */
    std::string text((const char *)data, size);
    std::vector<char *> argv;
    std::vector<char> buf(text.begin(), text.end());
    buf.push_back('\0');
    argv.push_back((char *)"KestrowApp");
    char *start = buf.data();
    for (size_t i = 0; i < size; i++) {
        if (buf[i] == '\n') {
            buf[i] = '\0';
            argv.push_back(start);
            start = buf.data() + i + 1;
        }
    }
    if (*start)
        argv.push_back(start);
    std::vector<char *> given(argv);
    argv.push_back(nullptr);

    app_ctx *app = nullptr;
    if (app_ctx_create(&app) != 0)
        abort();
    int ret = opts_parse(app, (int)argv.size() - 1, argv.data());
    if (ret != 0 && ret != -EPERM && ret != -ECANCELED)
        abort();
    check_terminated(app);
    /* getopt_long permutes the elements; it must neither lose nor invent one. */
    std::vector<char *> sorted_given(given), sorted_now(argv.begin(), argv.end() - 1);
    std::sort(sorted_given.begin(), sorted_given.end());
    std::sort(sorted_now.begin(), sorted_now.end());
    if (sorted_given != sorted_now)
        abort();
    app_ctx_destroy(&app);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    fuzz_silence_output(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (memchr(data, '/', size))
        return 0;
    run_file(data, size);
    run_argv(data, size);
    return 0;
}
