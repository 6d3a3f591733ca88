/*
 * The conforming process: started with posix_spawn (no copy of the
 * service's page tables, nothing of its memory map locked for long), one
 * task through its standard input, one outcome through its standard output,
 * both fixed records of this very program.
 */
#include "service/conform_worker.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

extern "C" {
#include <libavutil/log.h>
}

#include "common/utils.h"

#define WORKER_MAGIC    0x4b43574bu  // "KCWK"
#define WORKER_POLL_MS  100          // the stop flag is looked at this often while the child works
#define WORKER_REAP_TRIES 20         // a child killed at the stop is waited for this many times...
#define WORKER_REAP_US  5000         // ...this long each (100 ms in all)

extern char **environ;

struct worker_task {
    uint32_t magic;
    uint32_t size;
    int parent;
    int measure;              // 1: measure the file at dir (conform_measure) rather than conform it
    conform_target target;
    char dir[CONFORM_PATH_SIZE];
    char name[CONFORM_PATH_SIZE];
    char cache[CONFORM_PATH_SIZE];
};

struct worker_outcome {
    uint32_t magic;
    uint32_t size;
    int ret;
    conform_result res;
};

/* Reads or writes all of len bytes; false when the other end went away. */
static bool full_io(int fd, void *buf, size_t len, bool out)
{
    char *p = (char *)buf;
    while (len > 0) {
        ssize_t n = out ? write(fd, p, len) : read(fd, p, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        len -= (size_t)n;
    }
    return true;
}

static int worker_failed(conform_result *res, const char *fmt, int value)
{
    memset(res, 0, sizeof(*res));
    res->status = CONFORM_FAILED;
    snprintf(res->why, sizeof(res->why), fmt, value);
    return -ECHILD;
}

/* Starts the child on the pipes' ends: its standard input reads task_fd, its output writes to outcome_fd. */
static int worker_spawn(int task_fd, int outcome_fd, pid_t *pid)
{
    posix_spawn_file_actions_t fa;
    posix_spawnattr_t attr;
    sigset_t none, defaults;
    char arg0[] = "KestrowApp", arg1[] = CONFORM_WORKER_ARG;
    char *argv[] = {arg0, arg1, nullptr};

    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, task_fd, STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&fa, outcome_fd, STDOUT_FILENO);
    posix_spawn_file_actions_addclosefrom_np(&fa, STDERR_FILENO + 1);  // none of the service's sockets or files
    posix_spawnattr_init(&attr);
    sigemptyset(&none);
    sigfillset(&defaults);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    int err = posix_spawn(pid, "/proc/self/exe", &fa, &attr, argv, environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&fa);
    return -err;
}

/* Waits for the outcome on fd while watching stop. 1: read; 0: the child ended without one; -EINTR: stopped. */
static int worker_wait(int fd, worker_outcome *out, const std::atomic<int> *stop)
{
    size_t got = 0;
    while (got < sizeof(*out)) {
        if (stop && stop->load())
            return -EINTR;
        struct pollfd p = {fd, POLLIN, 0};
        int n = poll(&p, 1, WORKER_POLL_MS);
        if (n < 0 && errno != EINTR)
            return 0;
        if (n <= 0)
            continue;
        ssize_t r = read(fd, (char *)out + got, sizeof(*out) - got);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return 0;
        got += (size_t)r;
    }
    return out->magic == WORKER_MAGIC && out->size == sizeof(*out);
}

/* Has the child do task; as conform_worker_run. */
static int worker_do(worker_task task, conform_result *res, const std::atomic<int> *stop)
{
    int to_child[2], from_child[2];
    if (pipe2(to_child, O_CLOEXEC) != 0)
        return worker_failed(res, "no pipe for the conforming process (errno %d)", errno);
    if (pipe2(from_child, O_CLOEXEC) != 0) {
        close(to_child[0]);
        close(to_child[1]);
        return worker_failed(res, "no pipe for the conforming process (errno %d)", errno);
    }
    pid_t pid = -1;
    int ret = worker_spawn(to_child[0], from_child[1], &pid);
    close(to_child[0]);
    close(from_child[1]);
    if (ret < 0) {
        close(to_child[1]);
        close(from_child[0]);
        return worker_failed(res, "the conforming process cannot start (errno %d)", -ret);
    }
    /* The task fits in the pipe's buffer (64 KiB): written at once, whatever the child does. */
    bool sent = full_io(to_child[1], &task, sizeof(task), true);
    close(to_child[1]);
    worker_outcome out = {};
    int got = sent ? worker_wait(from_child[0], &out, stop) : 0;
    close(from_child[0]);
    if (got <= 0)
        kill(pid, SIGKILL);  // stopped, or it said nothing it could finish
    int wstatus = 0;
    if (got == -EINTR) {
        /*
         * The service stops: the child's end is not waited for past a short
         * bound. Taking down a large address space takes the kernel seconds
         * on a busy machine, and the stop must not wait for it; what is left
         * is reaped by init once the service has exited.
         */
        for (int i = 0; i < WORKER_REAP_TRIES && waitpid(pid, &wstatus, WNOHANG) == 0; i++)
            usleep(WORKER_REAP_US);
        return -EINTR;
    }
    /* Its end, at idle priority, as long as it takes; a stop meanwhile no longer waits for it (as above). */
    for (;;) {
        pid_t w = waitpid(pid, &wstatus, WNOHANG);
        if (w == pid || (w < 0 && errno != EINTR))
            break;
        if (stop && stop->load()) {
            if (got <= 0)
                return -EINTR;
            break;  // the outcome is read: it stands
        }
        usleep(WORKER_REAP_US);
    }
    if (got == 0 && WIFSIGNALED(wstatus))
        return worker_failed(res, "the conforming process ended on signal %d", WTERMSIG(wstatus));
    if (got == 0)
        return worker_failed(res, "the conforming process ended with status %d and no outcome",
                             WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1);
    *res = out.res;
    return out.ret;
}

int conform_worker_run(const char *dir, const char *name, const char *cache, const conform_target *t,
                       conform_result *res, const std::atomic<int> *stop)
{
    worker_task task = {};
    task.magic = WORKER_MAGIC;
    task.size = sizeof(task);
    task.parent = (int)getpid();
    task.target = *t;
    utils_strlcpy(task.dir, dir, sizeof(task.dir));
    utils_strlcpy(task.name, name, sizeof(task.name));
    utils_strlcpy(task.cache, cache, sizeof(task.cache));
    return worker_do(task, res, stop);
}

int conform_worker_measure(const char *path, conform_result *res, const std::atomic<int> *stop)
{
    worker_task task = {};
    task.magic = WORKER_MAGIC;
    task.size = sizeof(task);
    task.parent = (int)getpid();
    task.measure = 1;
    utils_strlcpy(task.dir, path, sizeof(task.dir));
    return worker_do(task, res, stop);
}

static std::atomic<int> worker_stop{0};

static void worker_on_term(int)
{
    worker_stop.store(1);
}

int conform_worker_main(void)
{
    worker_task task;
    worker_outcome out = {};
    /* Ends with the service, however the service ends. */
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    struct stat in;
    if (fstat(STDIN_FILENO, &in) != 0 || !S_ISFIFO(in.st_mode) ||
        !full_io(STDIN_FILENO, &task, sizeof(task), false) || task.magic != WORKER_MAGIC ||
        task.size != sizeof(task) || getppid() != task.parent) {
        fprintf(stderr, "KestrowApp " CONFORM_WORKER_ARG ": started by the service only\n");
        return 2;
    }
    signal(SIGTERM, worker_on_term);
    signal(SIGPIPE, SIG_IGN);
    setpriority(PRIO_PROCESS, 0, 19);
    struct sched_param param = {};
    sched_setscheduler(0, SCHED_IDLE, &param);
    av_log_set_level(AV_LOG_QUIET);
    task.dir[sizeof(task.dir) - 1] = task.name[sizeof(task.name) - 1] = task.cache[sizeof(task.cache) - 1] = '\0';

    conform_options opt = {nullptr, nullptr, &worker_stop};
    out.magic = WORKER_MAGIC;
    out.size = sizeof(out);
    try {
        out.ret = task.measure ? conform_measure(task.dir, &out.res, &opt)
                               : conform_run(task.dir, task.name, task.cache, &task.target, &out.res, &opt);
    } catch (...) {
        out.ret = worker_failed(&out.res, "the conforming process failed (an exception)", 0);
    }
    return full_io(STDOUT_FILENO, &out, sizeof(out), true) ? 0 : 1;
}
