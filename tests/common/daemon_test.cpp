/*
 * daemonize in real processes: a forked child calls it, the test checks the
 * child's exit status and reads a report that the daemon writes to an
 * absolute path (its working directory is "/", its output /dev/null).
 */
#include "common/daemon.h"
#include "test_support.h"

#include <sys/stat.h>

namespace {

/* "null", "closed" or "other" for descriptor fd of the calling process. */
std::string describe_fd(int fd)
{
    struct stat st, null_st;
    if (fstat(fd, &st) != 0)
        return "closed";
    if (stat("/dev/null", &null_st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == null_st.st_rdev)
        return "null";
    return "other";
}

/*
 * Forks a child that runs prepare, then daemonize. The daemon writes its
 * state to report and ends. Returns the child's wait status; *text gets the
 * report, or stays empty when none came within 10 s.
 */
int run_daemon(const std::string &report, void (*prepare)(void), std::string *text)
{
    fflush(stdout);
    fflush(stderr);
    pid_t child = fork();
    if (child == 0) {
        prepare();
        if (daemonize() != 0)
            _exit(3);
        char cwd[256] = "";
        mode_t mask = umask(0);
        std::string state = std::string("cwd=") + (getcwd(cwd, sizeof(cwd)) ? cwd : "?") +
                            " umask=" + std::to_string(mask) +
                            " leader=" + (getsid(0) == getpid() ? "yes" : "no") +
                            " fd0=" + describe_fd(0) + " fd1=" + describe_fd(1) +
                            " fd2=" + describe_fd(2) + "\n";
        std::string tmp = report + ".tmp";
        FILE *f = fopen(tmp.c_str(), "w");
        if (f) {
            fputs(state.c_str(), f);
            fclose(f);
            rename(tmp.c_str(), report.c_str());
        }
        _exit(0);
    }
    int status = kt::wait_bounded(child, 10000);
    for (int waited = 0; waited < 10000 && access(report.c_str(), F_OK) != 0; waited += 10)
        usleep(10000);
    *text = kt::read_file(report);
    return status;
}

TEST(Daemonize, ParentExitsZeroAndDaemonIsDetached)
{
    kt::TempDir dir;
    std::string text;
    int status = run_daemon(dir / "report", [] {}, &text);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
    EXPECT_EQ("cwd=/ umask=0 leader=yes fd0=null fd1=null fd2=null\n", text);
}

TEST(Daemonize, ClosedStdinStaysClosed)
{
    kt::TempDir dir;
    std::string text;
    int status = run_daemon(dir / "report", [] { close(0); }, &text);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
    EXPECT_EQ("cwd=/ umask=0 leader=yes fd0=closed fd1=null fd2=null\n", text);
}

} // namespace
