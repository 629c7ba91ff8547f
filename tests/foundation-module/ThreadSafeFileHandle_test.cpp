#include "foundation-module/ThreadSafeFileHandle.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include <gtest/gtest.h>

#include "support/TestSupport.h"

namespace {

std::string text(const NRVData& d) { return std::string(d.begin(), d.end()); }

class ThreadSafeFileHandleTest : public ::testing::Test {
protected:
    void SetUp() override {
        testsupport::writeText(dir / "f", "abcd");
        fd = ::open((dir / "f").c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
    }
    void TearDown() override {
        if (fd >= 0) ::close(fd);
    }
    testsupport::TempDir dir;
    int fd = -1;
};

TEST_F(ThreadSafeFileHandleTest, ReadsRangesWithoutMovingThePosition) {
    ThreadSafeFileHandle handle{fd};
    struct Case {
        std::int64_t count, offset;
        std::string expected;
    } cases[] = {{10, 0, "abcd"}, {2, 1, "bc"}, {3, 4, ""}, {3, 100, ""}, {0, 0, ""}};
    for (const auto& c : cases) EXPECT_EQ(text(handle.read(c.count, c.offset)), c.expected) << c.count << "@" << c.offset;
    EXPECT_EQ(::lseek(fd, 0, SEEK_CUR), 0);
}

TEST_F(ThreadSafeFileHandleTest, FailuresThrowTheSystemErrorNumber) {
    struct Case {
        const char* name;
        std::int64_t count, offset;
        bool closed;
        int expected;
    } cases[] = {
        {"negative offset", 1, -1, false, EINVAL},
        {"negative count", -1, 0, false, EINVAL},
        {"closed descriptor", 1, 0, true, EBADF},
    };
    for (const auto& c : cases) {
        if (c.closed) {
            ::close(fd);
            fd = -1;
        }
        ThreadSafeFileHandle handle{c.closed ? 987654 : fd};
        try {
            handle.read(c.count, c.offset);
            ADD_FAILURE() << c.name << ": no error";
        } catch (const ThreadSafeFileHandle::Errno& e) {
            EXPECT_EQ(e.errno_, c.expected) << c.name;
            const std::string suffix = ". Errno: " + std::to_string(c.expected);
            const std::string description = e.errorDescription();
            ASSERT_GE(description.size(), suffix.size());
            EXPECT_EQ(description.substr(description.size() - suffix.size()), suffix) << c.name;
        }
    }
}

TEST_F(ThreadSafeFileHandleTest, ThreadsReadTheirOwnRanges) {
    std::string content;
    for (int i = 0; i < 4096; ++i) content += static_cast<char>('a' + i % 26);
    testsupport::writeText(dir / "big", content);
    int big = ::open((dir / "big").c_str(), O_RDONLY);
    ASSERT_GE(big, 0);
    const ThreadSafeFileHandle handle{big};
    std::vector<std::thread> threads;
    std::vector<int> mismatches(8, 0);
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            for (int round = 0; round < 200; ++round) {
                const std::int64_t offset = (t * 509 + round * 37) % 4000;
                if (text(handle.read(64, offset)) != content.substr(static_cast<std::size_t>(offset), 64)) ++mismatches[t];
            }
        });
    for (auto& th : threads) th.join();
    ::close(big);
    for (int t = 0; t < 8; ++t) EXPECT_EQ(mismatches[t], 0) << "thread " << t;
}

}  // namespace
