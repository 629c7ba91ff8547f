#include "platform/fswatch/FileChangeMonitor.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <string>

#include "support/TestSupport.h"

namespace fsw = platform::fswatch;

namespace {

// What a monitor's handler has reported so far, and a wait for a flag.
struct Seen {
    std::mutex mutex;
    std::condition_variable changed;
    std::uint32_t flags = 0;

    bool waitFor(std::uint32_t flag) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(30), [&] { return (flags & flag) != 0; });
    }
};

}  // namespace

// Two changes made back to back usually reach the monitor in one read, after
// both were made, so the file's state it looks at is that after the second.
// The first change's event must not use up what only the second can tell: a
// write's event must not take the link count the removal of the last name
// brought, nor an attribute change the size a write brought. Each row runs on
// many files, as the read does not always come that late.
TEST(FileChangeMonitor, ChangesMadeBackToBackAreEachReported) {
    struct Case {
        const char* name;
        void (*change)(int fd, const std::string& path);
        std::uint32_t expected;
    } cases[] = {
        {"write, then the last name goes",
         [](int fd, const std::string& path) {
             ASSERT_EQ(::write(fd, "y", 1), 1);
             ASSERT_EQ(::unlink(path.c_str()), 0);
         },
         fsw::kVnodeDelete},
        {"mode change, then a write that grows the file",
         [](int fd, const std::string& path) {
             ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
             ASSERT_EQ(::write(fd, "y", 1), 1);
         },
         fsw::kVnodeExtend},
    };
    auto queue = platform::dispatch::DispatchQueue::createSerial("monitor-test");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (int i = 0; i < 20; ++i) {
            testsupport::TempDir dir;
            const std::string path = dir / "watched";
            testsupport::writeText(path, "x");
            const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
            ASSERT_GE(fd, 0);
            auto seen = std::make_shared<Seen>();
            auto monitor = fsw::FileChangeMonitor::create(fd, c.expected | fsw::kVnodeWrite, queue, [seen](std::uint32_t flags) {
                std::lock_guard<std::mutex> lock(seen->mutex);
                seen->flags |= flags;
                seen->changed.notify_all();
            });
            ASSERT_TRUE(monitor);
            c.change(fd, path);
            EXPECT_TRUE(seen->waitFor(c.expected)) << "file " << i << " reported only " << seen->flags;
            monitor->cancel();
            ::close(fd);
            if (HasFailure()) return;
        }
    }
}
