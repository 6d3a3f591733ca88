/*
 * Bounded strings, file and path helpers, and the application context. The
 * logger is never started here, so the helpers' log lines arrive on standard
 * error, where the tests capture them.
 */
#include "common/utils.h"
#include "test_support.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <sys/stat.h>

namespace {

/* A destination holding init, every byte after its terminator a guard '#'. */
struct Guarded {
    char buf[32];
    explicit Guarded(const char *init)
    {
        memset(buf, '#', sizeof(buf));
        memcpy(buf, init, strlen(init) + 1);
    }
};

TEST(BoundedStrings, Strnlen)
{
    EXPECT_EQ(3u, utils_strnlen("0123456789", 3));
    EXPECT_EQ(10u, utils_strnlen("0123456789", 20));
    char unterminated[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(4u, utils_strnlen(unterminated, 4));
}

TEST(BoundedStrings, StrlcpyCutsAndTerminates)
{
    struct {
        const char *src;
        size_t size;
        const char *result;
        size_t ret;
    } cases[] = {
        {"abc", 1, "", 0},
        {"0123456789", 5, "0123", 4},
        {"abc", 4, "abc", 3},
        {"abc", 10, "abc", 3},
    };
    for (auto &c : cases) {
        char buf[16];
        memset(buf, '#', sizeof(buf));
        EXPECT_EQ(c.ret, utils_strlcpy(buf, c.src, c.size)) << c.src << " size " << c.size;
        EXPECT_STREQ(c.result, buf);
        EXPECT_EQ('#', buf[c.ret + 1]) << "wrote past the terminator";
    }
    char buf[4] = {'#', '#', '#', '#'};
    EXPECT_EQ(0u, utils_strlcpy(buf, "abc", 0));
    EXPECT_EQ(0, memcmp(buf, "####", 4));
}

TEST(BoundedStrings, StrlcatAppendsWithinSize)
{
    struct {
        const char *dst, *src;
        size_t size;
        const char *result;
        size_t ret;
    } cases[] = {
        {"ab", "cd", 5, "abcd", 4},
        {"abcd", "x", 5, "abcd", 4},
        {"ab", "cdef", 5, "abcd", 4},
        {"", "xyz", 2, "x", 1},
        {"ab", "", 5, "ab", 2},
    };
    for (auto &c : cases) {
        Guarded g(c.dst);
        EXPECT_EQ(c.ret, utils_strlcat(g.buf, c.src, c.size)) << c.dst << "+" << c.src;
        EXPECT_STREQ(c.result, g.buf);
        for (size_t i = c.size; i < sizeof(g.buf); i++)
            ASSERT_EQ('#', g.buf[i]) << "wrote past size at " << i;
    }
}

TEST(BoundedStrings, StrlcatWithoutRoomWritesNothing)
{
    char buf[8];
    memset(buf, '#', sizeof(buf));
    EXPECT_EQ(0u, utils_strlcat(buf, "abc", 0));
    memcpy(buf, "abcde", 5);    // no terminator within size 5
    EXPECT_EQ(5u, utils_strlcat(buf, "xyz", 5));
    EXPECT_EQ(0, memcmp(buf, "abcde###", 8));
}

TEST(PathHelpers, SanitizePath)
{
    struct {
        const char *in, *out;
    } cases[] = {
        {"a/../b", "/a/b"},
        {"x//y", "/x/y"},
        {"a<b>&c", "/abc"},
        {"/a/./b", "/a/b"},
        {"/a/../../b", "/a/b"},
        {"\\\"q\"", "/q"},
        {"///", "/"},
        {"", "/"},
    };
    char buf[4096];
    for (auto &c : cases)
        EXPECT_STREQ(c.out, utils_sanitize_path(c.in, buf)) << c.in;

    std::string longest(5000, 'a');
    char *owned = utils_sanitize_path(longest.c_str(), nullptr);
    ASSERT_NE(nullptr, owned);
    EXPECT_EQ(4095u, strlen(owned));
    EXPECT_EQ('/', owned[0]);
    free(owned);
}

TEST(PathHelpers, StripControls)
{
    char text[] = "\ta\nb\r\nc\t";
    EXPECT_STREQ("abc", utils_strip_controls(text));
    char none[] = "plain text";
    EXPECT_STREQ("plain text", utils_strip_controls(none));
}

TEST(FileHelpers, LoadFile)
{
    kt::TempDir dir;
    char *buf = nullptr;
    int32_t size = -1;

    EXPECT_EQ(-2, utils_load_file(dir.path.c_str(), &buf, &size));
    EXPECT_EQ(nullptr, buf);

    kt::write_file(dir / "empty", "");
    ASSERT_EQ(0, utils_load_file((dir / "empty").c_str(), &buf, &size));
    EXPECT_EQ(0, size);
    EXPECT_EQ('\0', buf[0]);
    free(buf);

    kt::write_file(dir / "text", std::string("he\0llo", 6));
    ASSERT_EQ(0, utils_load_file((dir / "text").c_str(), &buf, &size));
    EXPECT_EQ(6, size);
    EXPECT_EQ(0, memcmp(buf, "he\0llo", 7));
    free(buf);

    // A file too large for the 32-bit size is refused before any allocation.
    int fd = open((dir / "huge").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_EQ(0, ftruncate(fd, (off_t)3 << 30));
    close(fd);
    buf = nullptr;
    EXPECT_EQ(-ERANGE, utils_load_file((dir / "huge").c_str(), &buf, &size));
    EXPECT_EQ(nullptr, buf);

    std::string missing = dir / "missing";
    kt::StderrCapture err(dir / "stderr");
    EXPECT_EQ(-2, utils_load_file(missing.c_str(), &buf, &size));
    EXPECT_NE(std::string::npos,
              err.text().find("] utils_load_file: stat(" + missing + ") failed, r=2: No such file or directory\n"))
        << err.text();
}

TEST(FileHelpers, MkdirP)
{
    kt::TempDir dir;
    std::string nested = dir / "a/b/c";
    std::vector<char> path(nested.begin(), nested.end());
    path.push_back('\0');
    ASSERT_EQ(0, utils_mkdir_p(path.data(), 0755));
    EXPECT_EQ(nested, path.data()) << "path not restored";
    EXPECT_TRUE(std::filesystem::is_directory(nested));
    EXPECT_EQ(0, utils_mkdir_p(path.data(), 0755));

    char empty[] = "";
    EXPECT_EQ(0, utils_mkdir_p(empty, 0755));

    // A regular file in the way is not a directory, whichever part it is.
    kt::write_file(dir / "file", "");
    std::string file = dir / "file", below = dir / "file/sub";
    EXPECT_EQ(-ENOTDIR, utils_mkdir_p(&file[0], 0755));
    EXPECT_EQ(-ENOTDIR, utils_mkdir_p(&below[0], 0755));
}

TEST(FileHelpers, RmdirRemovesLinksWithoutFollowingThem)
{
    kt::TempDir dir;
    std::string tree = dir / "tree", outside = dir / "outside";
    std::filesystem::create_directories(tree + "/sub/deeper");
    std::filesystem::create_directories(outside);
    kt::write_file(tree + "/sub/deeper/f", "x");
    kt::write_file(tree + "/g", "x");
    kt::write_file(outside + "/keep", "keep");
    ASSERT_EQ(0, symlink(outside.c_str(), (tree + "/dirlink").c_str()));
    ASSERT_EQ(0, symlink((outside + "/keep").c_str(), (tree + "/filelink").c_str()));

    std::string log;
    {
        kt::StderrCapture err(dir / "stderr");
        EXPECT_EQ(0, utils_rmdir_r(tree.c_str()));
        log = err.text();
    }
    EXPECT_FALSE(std::filesystem::exists(tree));
    EXPECT_EQ("keep", kt::read_file(outside + "/keep"));
    for (auto &line : kt::split_lines(log))
        EXPECT_EQ(0u, line.find("! [")) << "not a level-1 line: " << line;
    for (auto &expect : {"utils_rmdir_r: remove(" + tree + "/dirlink)\n",
                         "utils_rmdir_r: remove(" + tree + "/filelink)\n",
                         "utils_rmdir_r: remove(" + tree + "/sub/deeper/f)\n",
                         "utils_rmdir_r: rmdir(" + tree + "/sub/deeper)\n",
                         "utils_rmdir_r: rmdir(" + tree + ")\n"})
        EXPECT_NE(std::string::npos, log.find(expect)) << expect << " not in\n" << log;

    kt::StderrCapture err(dir / "stderr2");
    EXPECT_EQ(-2, utils_rmdir_r(tree.c_str()));
    EXPECT_NE(std::string::npos,
              err.text().find("utils_rmdir_r: opendir(" + tree + ") failed, errno=-2 (No such file or directory)\n"))
        << err.text();
}

TEST(FileHelpers, DiskSpace)
{
    uint64_t available = 0, total = 0;
    ASSERT_EQ(0, utils_disk_space("/tmp", &available, &total));
    EXPECT_GT(total, 0u);
    EXPECT_LE(available, total);
    EXPECT_EQ(-ENOENT, utils_disk_space("/nonexistent/kestrow", &available, &total));
}

TEST(FileHelpers, FindNearExe)
{
    // A directory beside this test program, removed at scope end.
    std::string exe_dir = std::filesystem::read_symlink("/proc/self/exe").parent_path();
    std::string sub = "near-exe-" + std::to_string(getpid());
    std::filesystem::create_directories(exe_dir + "/" + sub);
    kt::write_file(exe_dir + "/" + sub + "/wanted.txt", "");
    struct Cleanup {
        std::string p;
        ~Cleanup() { std::filesystem::remove_all(p); }
    } cleanup{exe_dir + "/" + sub};

    char buf[4096];
    EXPECT_STREQ((exe_dir + "/" + sub + "/wanted.txt").c_str(),
                 utils_find_near_exe(buf, sizeof(buf), "wanted.txt", "missing-dir", sub.c_str(), nullptr));
    EXPECT_STREQ("other.txt", utils_find_near_exe(buf, sizeof(buf), "other.txt", sub.c_str(), nullptr));
    // A candidate cut by a small buffer is never taken for an existing path.
    char small[8];
    EXPECT_STREQ("wanted.", utils_find_near_exe(small, sizeof(small), "wanted.txt", sub.c_str(), nullptr));
}

} // namespace
