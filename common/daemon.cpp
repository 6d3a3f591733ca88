/*
 * Turning the service into a background process.
 */
#include "common/daemon.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

/*
 * Single fork: the parent exits with status 0 (exit handlers run); the child
 * clears the file-mode mask, starts a new session, moves to "/" and puts
 * descriptors 0, 1 and 2 on /dev/null. Returns 0 in the child; the failed
 * step's negative errno, after its message went to standard error.
 */
int daemonize(void)
{
    pid_t pid = fork();
    if (pid < 0) {
        int err = errno;
        fprintf(stderr, "ERROR: 'fork' failed with code %d\n", (int)pid);
        return -err;
    }
    if (pid > 0)
        exit(0);

    umask(0);
    pid_t sid = setsid();
    if (sid < 0) {
        int err = errno;
        fprintf(stderr, "ERROR: 'setsid' failed with code %d\n", (int)sid);
        return -err;
    }
    int ret = chdir("/");
    if (ret < 0) {
        int err = errno;
        fprintf(stderr, "ERROR: Unable to change root directory. 'chdir' failed with code %d\n", ret);
        return -err;
    }
    // When /dev/null cannot be opened the dup2 calls fail and 0, 1, 2 stay as they are.
    int fd = open("/dev/null", O_RDWR);
    dup2(fd, 0);
    dup2(fd, 1);
    dup2(fd, 2);
    close(fd);
    return 0;
}
