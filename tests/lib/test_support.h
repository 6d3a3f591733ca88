/*
 * Helpers shared by the unit tests: temporary directories, file reading,
 * loopback ports, generated streams, capture of standard error and running a
 * case in a child process.
 */
#ifndef KESTROW_TESTS_COMMON_TEST_SUPPORT_H
#define KESTROW_TESTS_COMMON_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <netinet/in.h>
#include <signal.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace kt {

/* A fresh directory under /tmp, removed with everything in it at scope end. */
struct TempDir {
    std::string path;
    TempDir()
    {
        char tmpl[] = "/tmp/kestrow-test-XXXXXX";
        const char *p = mkdtemp(tmpl);
        path = p ? p : "";
    }
    ~TempDir()
    {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    std::string operator/(const std::string &name) const { return path + "/" + name; }
};

/* The whole file as text, or as bytes with read_file<std::vector<uint8_t>>; empty when unreadable. */
template <class T = std::string>
inline T read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return T(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void write_file(const std::string &path, const std::string &text)
{
    std::ofstream(path, std::ios::binary) << text;
}

/*
 * A socket of type on 127.0.0.1 at a port the system chose, written to *port:
 * bound, and listening when SOCK_STREAM. The descriptor (the caller closes it),
 * or -1.
 */
inline int bound_socket(int type, int *port)
{
    int fd = socket(AF_INET, type, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(a);
    if (fd < 0 || bind(fd, (sockaddr *)&a, len) != 0 || (type == SOCK_STREAM && listen(fd, 1) != 0) ||
        getsockname(fd, (sockaddr *)&a, &len) != 0) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    *port = ntohs(a.sin_port);
    return fd;
}

/* A port of type on 127.0.0.1 that was free a moment ago; 0 when none was found. */
inline int free_port(int type = SOCK_STREAM)
{
    int port = 0;
    int fd = bound_socket(type, &port);
    if (fd >= 0)
        close(fd);
    return port;
}

/*
 * Writes a stream to path with tools/kestrow_gen.py (the folder from
 * KESTROW_TOOLS, else this tree's) and the given options. "" on success, else
 * the command that failed.
 */
inline std::string generate(const std::string &path, const std::string &options)
{
    const char *tools = getenv("KESTROW_TOOLS");
    std::string cmd = std::string("python3 '") + (tools && *tools ? tools : KESTROW_TOOLS_DEFAULT) +
                      "/kestrow_gen.py' '" + path + "' " + options + " >/dev/null 2>&1";
    return std::system(cmd.c_str()) == 0 ? "" : cmd;
}

/* Splits text at newlines; a final newline ends the last line and adds none. */
inline std::vector<std::string> split_lines(const std::string &text)
{
    std::vector<std::string> lines;
    size_t start = 0, nl;
    while ((nl = text.find('\n', start)) != std::string::npos) {
        lines.push_back(text.substr(start, nl - start));
        start = nl + 1;
    }
    if (start < text.size())
        lines.push_back(text.substr(start));
    return lines;
}

/* Sends descriptor 2 to a file while alive; text() returns what was written so far. */
struct StderrCapture {
    std::string file;
    int saved = -1;
    explicit StderrCapture(const std::string &path) : file(path)
    {
        fflush(stderr);
        saved = dup(2);
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 2);
        close(fd);
    }
    ~StderrCapture()
    {
        fflush(stderr);
        dup2(saved, 2);
        close(saved);
    }
    std::string text() const
    {
        fflush(stderr);
        return read_file(file);
    }
};

/*
 * Runs body in a forked child so that it gets a logger of its own. The
 * child's assertion failures are printed by the child and turn into its exit
 * status; the child is killed after timeout_ms.
 */
inline void run_in_child(const std::function<void()> &body, int timeout_ms = 60000)
{
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        body();
        exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    for (int waited = 0; waited < timeout_ms && waitpid(pid, &status, WNOHANG) != pid; waited += 5)
        usleep(5000);
    if (waitpid(pid, &status, WNOHANG) == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        FAIL() << "child timed out";
    }
    ASSERT_TRUE(WIFEXITED(status)) << "child ended by signal " << WTERMSIG(status);
    EXPECT_EQ(0, WEXITSTATUS(status)) << "child reported failures (see above)";
}

} // namespace kt

#endif
