#include "platform/notify/NotificationCenter.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/log/LogStore.h"
#include "support/ChildProcess.h"
#include "support/TestSupport.h"

using namespace platform::notify;
using namespace std::chrono_literals;

namespace {

// Notifications seen by one observer, with the thread each arrived on.
class Inbox {
public:
    NotificationCenter::Handler handler() {
        return [this](const Notification& n) {
            std::lock_guard<std::mutex> lock(mutex_);
            received_.push_back(n);
            threads_.push_back(std::this_thread::get_id());
            changed_.notify_all();
        };
    }
    bool waitForCount(std::size_t count, std::chrono::milliseconds limit = 5s) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return received_.size() >= count; });
    }
    std::vector<Notification> received() {
        std::lock_guard<std::mutex> lock(mutex_);
        return received_;
    }
    std::vector<std::thread::id> threads() {
        std::lock_guard<std::mutex> lock(mutex_);
        return threads_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Notification> received_;
    std::vector<std::thread::id> threads_;
};

std::vector<std::string> names(const std::vector<Notification>& notifications) {
    std::vector<std::string> out;
    for (const auto& n : notifications) out.push_back(n.name + (n.object ? "/" + *n.object : ""));
    return out;
}

// A notification posted after all earlier ones: once it has arrived, the
// earlier ones have too, since one receiver delivers in order.
void flush(NotificationCenter& center, Inbox& inbox, std::size_t expectedTotal) {
    ASSERT_TRUE(center.post({"flush", std::nullopt, std::nullopt}));
    ASSERT_TRUE(inbox.waitForCount(expectedTotal));
}

class NotificationCenterTest : public ::testing::Test {
protected:
    testsupport::TempDir root;
    std::string dir = root / "notify";
};

}  // namespace

TEST_F(NotificationCenterTest, PosterReceivesItsOwnNotificationOffItsThread) {
    NotificationCenter center(dir);
    Inbox inbox;
    ASSERT_TRUE(center.addObserver(&inbox, "com.nerova.test.ping", std::nullopt, inbox.handler()));
    struct stat st {};
    ASSERT_EQ(stat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 01777u);

    NRVDictionary info;
    info.set("registeredName", "com.nerova.xpc.name.test");
    info.set("count", 3);
    const Notification sent{"com.nerova.test.ping", "sender", info};
    platform::Error error;
    ASSERT_TRUE(center.post(sent, &error)) << error.description;
    ASSERT_TRUE(inbox.waitForCount(1));
    EXPECT_EQ(inbox.received().front(), sent);
    EXPECT_NE(inbox.threads().front(), std::this_thread::get_id());
}

TEST_F(NotificationCenterTest, ObserversSeeOnlyTheirNameAndObject) {
    NotificationCenter center(dir);
    Inbox byName, byNameAndObject, everything;
    int otherKey = 0;
    ASSERT_TRUE(center.addObserver(&byName, "a", std::nullopt, byName.handler()));
    ASSERT_TRUE(center.addObserver(&byNameAndObject, "a", "x", byNameAndObject.handler()));
    ASSERT_TRUE(center.addObserver(&everything, std::nullopt, std::nullopt, everything.handler()));
    ASSERT_TRUE(center.addObserver(&otherKey, "b", std::nullopt, [](const Notification&) {}));
    for (const Notification& n : {Notification{"a", std::nullopt, std::nullopt}, Notification{"a", "x", std::nullopt},
                                  Notification{"a", "y", std::nullopt}, Notification{"b", "x", std::nullopt}})
        ASSERT_TRUE(center.post(n));
    flush(center, everything, 5);
    EXPECT_EQ(names(byName.received()), (std::vector<std::string>{"a", "a/x", "a/y"}));
    EXPECT_EQ(names(byNameAndObject.received()), (std::vector<std::string>{"a/x"}));
    EXPECT_EQ(names(everything.received()), (std::vector<std::string>{"a", "a/x", "a/y", "b/x", "flush"}));
}

TEST_F(NotificationCenterTest, RemovedObserversHearNothingAndTheLastRemovalClosesTheSocket) {
    NotificationCenter center(dir);
    Inbox removed, kept;
    ASSERT_TRUE(center.addObserver(&removed, "a", std::nullopt, removed.handler()));
    ASSERT_TRUE(center.addObserver(&removed, "b", std::nullopt, removed.handler()));
    ASSERT_TRUE(center.addObserver(&kept, std::nullopt, std::nullopt, kept.handler()));
    center.removeObserver(&removed, std::string("a"));
    ASSERT_TRUE(center.post({"a", std::nullopt, std::nullopt}));
    ASSERT_TRUE(center.post({"b", std::nullopt, std::nullopt}));
    flush(center, kept, 3);
    EXPECT_EQ(names(removed.received()), (std::vector<std::string>{"b"}));

    const std::string socketPath = center.socketPath();
    ASSERT_FALSE(socketPath.empty());
    center.removeObserver(&removed);
    EXPECT_TRUE(testsupport::exists(socketPath));
    center.removeObserver(&kept);
    EXPECT_EQ(center.socketPath(), "");
    EXPECT_FALSE(testsupport::exists(socketPath));
    EXPECT_TRUE(center.post({"a", std::nullopt, std::nullopt}));  // nobody listens: not a failure
}

TEST_F(NotificationCenterTest, PostRemovesStaleSocketsAndNothingElse) {
    ASSERT_EQ(mkdir(dir.c_str(), 01777), 0);
    const std::string stale = dir + "/999999.dead";
    {
        int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, stale.c_str());
        ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        close(fd);  // the file stays: its process "died"
    }
    testsupport::writeText(dir + "/not-a-socket", "x");
    ASSERT_EQ(symlink(stale.c_str(), (dir + "/link").c_str()), 0);

    NotificationCenter center(dir);
    platform::Error error;
    EXPECT_TRUE(center.post({"n", std::nullopt, std::nullopt}, &error)) << error.description;
    EXPECT_FALSE(testsupport::exists(stale));
    EXPECT_TRUE(testsupport::exists(dir + "/not-a-socket"));
    EXPECT_TRUE(testsupport::exists(dir + "/link"));
}

TEST_F(NotificationCenterTest, UndecodableDatagramsAreDroppedWithALogLine) {
    auto capture = std::make_shared<platform::log::CaptureSink>();
    platform::log::setSink(capture);
    NotificationCenter center(dir);
    Inbox inbox;
    ASSERT_TRUE(center.addObserver(&inbox, std::nullopt, std::nullopt, inbox.handler()));
    const std::string garbage = "NRVN\x01\x02garbage";
    {
        int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, center.socketPath().c_str());
        ASSERT_GT(sendto(fd, garbage.data(), garbage.size(), 0, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        close(fd);
    }
    flush(center, inbox, 1);
    platform::log::setSink(nullptr);
    EXPECT_EQ(names(inbox.received()), (std::vector<std::string>{"flush"}));
    bool logged = false;
    for (const auto& r : capture->records())
        if (r.category == "notification" && r.message.rfind("Dropped an undecodable notification datagram of " +
                                                            std::to_string(garbage.size()) + " bytes from pid " +
                                                            std::to_string(getpid()) + ": ", 0) == 0)
            logged = true;
    EXPECT_TRUE(logged);
}

TEST_F(NotificationCenterTest, PostRefusesWhatCannotBeEncoded) {
    NotificationCenter center(dir);
    platform::Error error;
    EXPECT_FALSE(center.post({"", std::nullopt, std::nullopt}, &error));
    EXPECT_FALSE(error.description.empty());
}

// Real processes: a post reaches every observing process, its user info
// intact, and only those that observe its name; observers running as
// another user (when the suite runs as root) are reached too, and reach us.
TEST_F(NotificationCenterTest, PostReachesEveryObservingProcess) {
    const std::string helper = std::string(NRV_BIN_DIR) + "/nrv-notify-observer";
    const std::map<std::string, std::string> env{{"NRV_RUNTIME_ROOT", root.path()}};
    // The folder must exist before the unprivileged observer would have to make it.
    NotificationCenter center(dir);
    Inbox inbox;
    ASSERT_TRUE(center.addObserver(&inbox, "com.nerova.test.reply", std::nullopt, inbox.handler()));
    chmod(root.path().c_str(), 0755);

    std::vector<std::unique_ptr<testsupport::ChildProcess>> observers;
    for (const char* extra : {"", "", "--as-nobody"}) {
        std::vector<std::string> argv{helper, "--name=com.nerova.test.ping"};
        if (*extra) argv.push_back(extra);
        observers.push_back(std::make_unique<testsupport::ChildProcess>(argv, env));
    }
    testsupport::ChildProcess other({helper, "--name=com.nerova.test.other"}, env);
    for (auto& o : observers) ASSERT_TRUE(o->waitForLine("READY", 5s));
    ASSERT_TRUE(other.waitForLine("READY", 5s));

    NRVDictionary info;
    info.set("key", "value");
    info.set("n", 7);
    platform::Error error;
    ASSERT_TRUE(center.post({"com.nerova.test.ping", "obj", info}, &error)) << error.description;
    for (auto& o : observers) EXPECT_EQ(o->readLine(5s).value_or("<nothing>"), "com.nerova.test.ping|obj|key=value,n=7");
    EXPECT_EQ(other.readLine(300ms), std::nullopt);

    testsupport::ChildProcess poster({helper, "--post=com.nerova.test.reply", "--object=from-nobody", "--as-nobody"}, env);
    EXPECT_EQ(poster.readLine(5s).value_or("<nothing>"), "POSTED");
    ASSERT_TRUE(inbox.waitForCount(1));
    EXPECT_EQ(names(inbox.received()), (std::vector<std::string>{"com.nerova.test.reply/from-nobody"}));
}

namespace {

// A socket bound in the folder that never reads, as anyone may leave there.
struct IdleSocket {
    int fd = -1;
    std::string path;
    IdleSocket(const std::string& dir, int n) : path(dir + "/idle." + std::to_string(n)) {
        fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, path.c_str());
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        chmod(path.c_str(), 0666);
    }
    ~IdleSocket() { close(fd); }
    // Sends to it until its queue takes no more.
    void fill() const {
        int sender = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, path.c_str());
        while (sendto(sender, "x", 1, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&address), sizeof address) == 1) {
        }
        close(sender);
    }
};

std::size_t socketsIn(const std::string& dir) {
    std::size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        if (entry.is_socket()) ++count;
    return count;
}

}  // namespace

// Thousands of sockets that never read, some of them full: a post still
// reaches every observer, waits for none of the full ones, and says that
// some did not take it.
TEST_F(NotificationCenterTest, PostReachesEverySocketAndNeverWaitsForAFullOne) {
    constexpr int kIdle = 6000;
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = std::max<rlim_t>(files.rlim_cur, std::min<rlim_t>(files.rlim_max, kIdle + 1000));
    setrlimit(RLIMIT_NOFILE, &files);
    if (files.rlim_cur < kIdle + 1000) GTEST_SKIP() << "needs " << kIdle + 1000 << " descriptors";
    // Observers before and after the others: whatever order the folder
    // lists its entries in, some come after the first few thousand.
    std::vector<std::unique_ptr<NotificationCenter>> centers;
    std::vector<std::unique_ptr<Inbox>> inboxes;
    auto observe = [&] {
        centers.push_back(std::make_unique<NotificationCenter>(dir));
        inboxes.push_back(std::make_unique<Inbox>());
        ASSERT_TRUE(centers.back()->addObserver(inboxes.back().get(), "n", std::nullopt, inboxes.back()->handler()));
    };
    observe();
    std::vector<std::unique_ptr<IdleSocket>> idle;
    for (int i = 0; i < kIdle; ++i) idle.push_back(std::make_unique<IdleSocket>(dir, i));
    for (int i = 0; i < 7; ++i) observe();

    NotificationCenter poster(dir);
    platform::Error error;
    EXPECT_TRUE(poster.post({"n", "first", std::nullopt}, &error)) << error.description;
    for (auto& inbox : inboxes) EXPECT_TRUE(inbox->waitForCount(1));

    constexpr int kFull = 300;
    for (int i = 0; i < kFull; ++i) idle[static_cast<std::size_t>(i)]->fill();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(poster.post({"n", "second", std::nullopt}, &error));
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(error.description, std::to_string(kFull) + " observer(s) did not take notification 'n': their queue was full");
    // Generous for a loaded machine; waiting for each full socket even 10 ms
    // would take three seconds.
    EXPECT_LT(took, 2s);
    for (auto& inbox : inboxes) {
        ASSERT_TRUE(inbox->waitForCount(2));
        EXPECT_EQ(names(inbox->received()), (std::vector<std::string>{"n/first", "n/second"}));
    }
}

// A post sees the folder as it is, however soon after the last post it
// changed (within one tick of the file clock, too): right after a post a new
// observer binds, a listed socket is swapped for a link to a socket outside
// the folder, and a dead socket is left. The next post reaches the new
// observer, not the link's target, and removes the dead socket.
TEST_F(NotificationCenterTest, EachPostSeesTheFolderAsItIsNow) {
    ASSERT_EQ(mkdir(dir.c_str(), 01777), 0);
    IdleSocket outside(root.path(), 0);
    NotificationCenter poster(dir);
    // The centers go first: their deliveries may still be under way.
    std::vector<std::unique_ptr<Inbox>> inboxes;
    std::vector<std::unique_ptr<NotificationCenter>> centers;
    std::vector<std::unique_ptr<IdleSocket>> listed;
    platform::Error error;
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        listed.push_back(std::make_unique<IdleSocket>(dir, round));
        ASSERT_TRUE(poster.post({"n", "before", std::nullopt}, &error)) << error.description;
        ASSERT_TRUE(poster.post({"n", "listed", std::nullopt}, &error)) << error.description;

        centers.push_back(std::make_unique<NotificationCenter>(dir));
        inboxes.push_back(std::make_unique<Inbox>());
        ASSERT_TRUE(centers.back()->addObserver(inboxes.back().get(), "n", std::nullopt, inboxes.back()->handler()));
        ASSERT_EQ(unlink(listed.back()->path.c_str()), 0);
        ASSERT_EQ(symlink(outside.path.c_str(), listed.back()->path.c_str()), 0);
        const std::string dead = dir + "/dead." + std::to_string(round);
        {
            int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            std::strcpy(address.sun_path, dead.c_str());
            ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
            close(fd);
        }

        ASSERT_TRUE(poster.post({"n", "after", std::nullopt}, &error)) << error.description;
        ASSERT_TRUE(inboxes.back()->waitForCount(1));
        EXPECT_EQ(names(inboxes.back()->received()).front(), "n/after");
        EXPECT_FALSE(testsupport::exists(dead));
        // A receiver's queue holds only a few datagrams, and a post does not
        // wait for room: every earlier observer takes this round's three
        // posts before the next round sends more.
        for (std::size_t i = 0; i + 1 < inboxes.size(); ++i) {
            ASSERT_TRUE(inboxes[i]->waitForCount(1 + 3 * (static_cast<std::size_t>(round) - i), 30s)) << i;
        }
    }
    char byte;
    EXPECT_EQ(recv(outside.fd, &byte, 1, MSG_DONTWAIT), -1) << "a post followed a link out of the folder";
}

// No socket outlives its process: one exiting normally or on SIGTERM removes
// its own; what a killed one leaves is removed by the next post.
TEST_F(NotificationCenterTest, ObserverSocketsGoWithTheirProcess) {
    const std::string helper = std::string(NRV_BIN_DIR) + "/nrv-notify-observer";
    const std::map<std::string, std::string> env{{"NRV_RUNTIME_ROOT", root.path()}};
    testsupport::ChildProcess exiting({helper, "--name=n", "--count=1"}, env);
    testsupport::ChildProcess stopped({helper, "--name=n"}, env);
    testsupport::ChildProcess killed({helper, "--name=n"}, env);
    for (auto* c : {&exiting, &stopped, &killed}) ASSERT_TRUE(c->waitForLine("READY", 5s));
    ASSERT_EQ(socketsIn(dir), 3u);

    NotificationCenter poster(dir);
    ASSERT_TRUE(poster.post({"n", std::nullopt, std::nullopt}));
    EXPECT_EQ(exiting.readLine(5s).value_or("<nothing>"), "n|-|");
    EXPECT_EQ(exiting.waitForExit(5s), 0);
    stopped.stop();
    EXPECT_EQ(socketsIn(dir), 1u);

    kill(killed.pid(), SIGKILL);
    killed.stop();
    EXPECT_EQ(socketsIn(dir), 1u);
    platform::Error error;
    EXPECT_TRUE(poster.post({"n", std::nullopt, std::nullopt}, &error)) << error.description;
    EXPECT_EQ(socketsIn(dir), 0u);
}
