// libFuzzer target for KestrowDemo's whole path: every input is a transport
// stream file that demo_run (the program's own entry, command line included)
// remuxes with the filler named by KESTROW_FUZZ_FILLER. Input and output are
// memory files (memfd) opened by name through /proc/self/fd, so the demo
// opens, probes, seeks and writes them exactly as it does real files.
// Besides the sanitizers, the checks below catch an exit status other than
// 0 or 1 and an output that is not whole 188-byte transport packets.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

extern "C" {
#include <libavutil/log.h>
}

#include "demo/demo.h"
#include "silence.h"

namespace {

int in_fd = -1;
int out_fd = -1;
char in_name[64];
char out_name[64];
const char *filler_name;

/*
 * The output holds only whole packets, each beginning with the sync byte.
 * Read in pieces: the muxer's constant rate fills timestamp gaps with null
 * packets, so an input can make the output much larger than itself.
 */
void check_output()
{
    struct stat st;
    if (fstat(out_fd, &st) != 0)
        abort();
    if (st.st_size % 188 != 0)
        abort();
    static uint8_t buf[188 * 512];
    for (off_t at = 0; at < st.st_size; at += sizeof(buf)) {
        ssize_t n = pread(out_fd, buf, sizeof(buf), at);
        if (n <= 0 || n % 188 != 0)
            abort();
        for (ssize_t i = 0; i < n; i += 188) {
            if (buf[i] != 0x47)
                abort();
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    filler_name = getenv("KESTROW_FUZZ_FILLER");
    if (!filler_name || !*filler_name) {
        fprintf(stderr, "fuzz_demo: set KESTROW_FUZZ_FILLER to a filler recording\n");
        exit(2);
    }
    in_fd = memfd_create("fuzz_demo_in", 0);
    out_fd = memfd_create("fuzz_demo_out", 0);
    if (in_fd < 0 || out_fd < 0) {
        perror("fuzz_demo: memfd_create");
        exit(2);
    }
    snprintf(in_name, sizeof(in_name), "/proc/self/fd/%d", in_fd);
    snprintf(out_name, sizeof(out_name), "/proc/self/fd/%d", out_fd);
    if (!fuzz_verbose())
        av_log_set_level(AV_LOG_QUIET);
    fuzz_silence_output(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (ftruncate(in_fd, 0) != 0 || ftruncate(out_fd, 0) != 0)
        abort();
    if (size && pwrite(in_fd, data, size, 0) != (ssize_t)size)
        abort();

    char *argv[] = {(char *)"KestrowDemo", in_name, out_name, (char *)filler_name, nullptr};
    int status = demo_run(4, argv);
    fflush(stdout);
    if (status != 0 && status != 1)
        abort();
    check_output();
    return 0;
}
