#include "common/io.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <sys/stat.h>
#include <fcntl.h>
#include <string>
#include <thread>
#include <unistd.h>

using std::chrono::milliseconds;

struct Pipe {
    int r, w;
    Pipe()
    {
        int fds[2];
        EXPECT_EQ(pipe2(fds, O_NONBLOCK), 0);
        r = fds[0];
        w = fds[1];
    }
    ~Pipe()
    {
        close(r);
        close(w);
    }
};

TEST(ReadBurst, GathersPiecesWithShortGapsAndStopsAtALongOne)
{
    Pipe p;
    std::thread writer([&] {
        for (const char *piece : {"ab", "cd", "ef"}) {
            EXPECT_EQ(write(p.w, piece, 2), 2);
            std::this_thread::sleep_for(milliseconds(50));
        }
        std::this_thread::sleep_for(milliseconds(400));
        EXPECT_EQ(write(p.w, "gh", 2), 2);
    });
    ASSERT_EQ(wait_readable(p.r, 1000), 1);
    char buf[1024];
    size_t n = read_burst(p.r, buf, sizeof buf);
    EXPECT_EQ(std::string(buf, n), "abcdef");
    writer.join();
    n = read_burst(p.r, buf, sizeof buf);
    EXPECT_EQ(std::string(buf, n), "gh");
}

TEST(ReadBurst, StopsAtCapacityAndKeepsTheRest)
{
    Pipe p;
    std::string data(1500, 'x');
    ASSERT_EQ(write(p.w, data.data(), data.size()), 1500);
    char buf[1024];
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(read_burst(p.r, buf, sizeof buf), 1024u);
    EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(150));
    EXPECT_EQ(read_burst(p.r, buf, sizeof buf), 476u);
    EXPECT_EQ(read_burst(p.r, buf, sizeof buf), 0u);
}

TEST(ReadBurst, ATrickleWaitsNoMoreThanTheAllowanceFromItsFirstByte)
{
    Pipe p;
    std::thread writer([&] {
        for (int i = 0; i < 10; i++) {
            EXPECT_EQ(write(p.w, "x", 1), 1);
            std::this_thread::sleep_for(milliseconds(50));
        }
    });
    char buf[1024];
    ASSERT_EQ(wait_readable(p.r, 1000), 1);
    auto start = std::chrono::steady_clock::now();
    size_t n = read_burst(p.r, buf, sizeof buf);
    EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(300));
    EXPECT_GE(n, 3u);
    EXPECT_LE(n, 6u);
    writer.join();
}

TEST(WriteFully, WaitsForTheReaderAndGivesUpAfterTheBound)
{
    Pipe p;
    int size = fcntl(p.w, F_GETPIPE_SZ);
    std::string big(static_cast<size_t>(size) * 2, 'y');
    std::thread reader([&] {
        std::this_thread::sleep_for(milliseconds(100));
        char buf[65536];
        size_t got = 0;
        while (got < big.size()) {
            if (wait_readable(p.r, 1000) <= 0)
                break;
            ssize_t n = read(p.r, buf, sizeof buf);
            if (n > 0)
                got += static_cast<size_t>(n);
        }
        EXPECT_EQ(got, big.size());
    });
    EXPECT_EQ(write_fully(p.w, big.data(), big.size(), 2000), big.size());
    reader.join();

    // Nobody reads: the pipe fills, then the bound runs out.
    auto start = std::chrono::steady_clock::now();
    size_t n = write_fully(p.w, big.data(), big.size(), 300);
    EXPECT_EQ(n, static_cast<size_t>(size));
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_GE(std::chrono::steady_clock::now() - start, milliseconds(290));
}

TEST(ReplaceFile, AReaderSeesTheOldContentOrTheNewNeverPartOfEither)
{
    char dir[] = "/tmp/replace_testXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string path = std::string(dir) + "/status";
    const std::string a = "11", b = std::string(3000, 'b');
    ASSERT_EQ(replace_file(path.c_str(), a.data(), a.size(), 0644), 0);
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 0; i < 2000; i++) {
            const std::string &s = i % 2 ? a : b;
            EXPECT_EQ(replace_file(path.c_str(), s.data(), s.size(), 0644), 0);
        }
        done = true;
    });
    int reads = 0;
    while (!done) {
        FILE *f = fopen(path.c_str(), "r");
        ASSERT_NE(f, nullptr);
        char buf[4096];
        std::string got(buf, fread(buf, 1, sizeof buf, f));
        fclose(f);
        ASSERT_TRUE(got == a || got == b) << got.size();
        reads++;
    }
    writer.join();
    EXPECT_GT(reads, 0);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777 & ~0022u, 0644u & ~0022u);
    // The directory holds nothing else: no temporary file is left behind.
    std::string ls = std::string("ls -A ") + dir + " | wc -l";
    FILE *p = popen(ls.c_str(), "r");
    int entries = 0;
    EXPECT_EQ(fscanf(p, "%d", &entries), 1);
    pclose(p);
    EXPECT_EQ(entries, 1);
    unlink(path.c_str());
    rmdir(dir);
}

TEST(ReplaceFile, ALinkThereIsReplacedAndADirectoryThereIsLeftAsItWas)
{
    char dir[] = "/tmp/replace_testXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string d = dir, link = d + "/report", target = d + "/elsewhere", sub = d + "/sub";
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
    ASSERT_EQ(replace_file(link.c_str(), "new", 3, 0644), 0);
    struct stat st;
    ASSERT_EQ(lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_NE(access(target.c_str(), F_OK), 0);  // nothing was written through the link
    errno = 0;
    EXPECT_EQ(replace_file(sub.c_str(), "new", 3, 0644), -1);
    EXPECT_TRUE(errno == EISDIR || errno == ENOTEMPTY) << strerror(errno);
    ASSERT_EQ(lstat(sub.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    FILE *p = popen(("ls -A " + d).c_str(), "r");
    char names[256] = "";
    size_t got = fread(names, 1, sizeof names - 1, p);
    pclose(p);
    EXPECT_EQ(std::string(names, got), "report\nsub\n");  // no temporary file is left behind
    unlink(link.c_str());
    rmdir(sub.c_str());
    rmdir(dir);
}

// A burst that says it is complete goes at once; one that does not waits
// out the allowance as before.
TEST(ReadBurst, ACompleteBurstDoesNotWaitForMore)
{
    Pipe p;
    auto complete = [](const char *buf, size_t n, const void *) { return n > 0 && buf[n - 1] == '!'; };
    char buf[1024];
    ASSERT_EQ(write(p.w, "frame!", 6), 6);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(read_burst(p.r, buf, sizeof buf, complete), 6u);
    EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(100));
    ASSERT_EQ(write(p.w, "part", 4), 4);
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(read_burst(p.r, buf, sizeof buf, complete), 4u);
    EXPECT_GE(std::chrono::steady_clock::now() - start, milliseconds(150));
}
