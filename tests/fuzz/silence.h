// Quiet fuzz targets: the code under test writes to standard output and
// standard error on every run, which would bury libFuzzer's own report and
// slow the run down. At start-up the target adds -close_fd_mask=3 to its own
// flags: libFuzzer then keeps a copy of standard error for itself and for the
// sanitizer reports, and points descriptors 1 and 2 at /dev/null once, before
// the first input. Setting KESTROW_FUZZ_VERBOSE (to see what a reproducer
// prints) or giving -close_fd_mask on the command line turns this off.
#ifndef KESTROW_TESTS_FUZZ_SILENCE_H
#define KESTROW_TESTS_FUZZ_SILENCE_H

#include <cstdlib>
#include <cstring>
#include <vector>

inline bool fuzz_verbose() { return getenv("KESTROW_FUZZ_VERBOSE") != nullptr; }

inline void fuzz_silence_output(int *argc, char ***argv)
{
    static std::vector<char *> args;

    if (fuzz_verbose())
        return;
    for (int i = 1; i < *argc; i++) {
        if (strncmp((*argv)[i], "-close_fd_mask=", 15) == 0)
            return;
    }
    args.assign(*argv, *argv + *argc);
    args.push_back((char *)"-close_fd_mask=3");
    args.push_back(nullptr);
    *argc += 1;
    *argv = args.data();
}

#endif
