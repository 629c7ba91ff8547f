#include "ipc/notify/NRVDistributedNotificationCenter.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "support/TestSupport.h"

using namespace std::chrono_literals;

namespace {

class Recorder {
public:
    NRVNotificationSelector selector(std::string tag) {
        return [this, tag](const NRVNotification& n) {
            std::lock_guard<std::mutex> lock(mutex_);
            std::string line = tag;
            line.append(":").append(n.name);
            if (n.object) line.append("/").append(*n.object);
            if (n.userInfo) line.append("+").append(std::to_string(n.userInfo->size()));
            seen_.push_back(std::move(line));
            changed_.notify_all();
        };
    }
    bool waitFor(const std::string& entry) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, 5s, [&] { return std::find(seen_.begin(), seen_.end(), entry) != seen_.end(); });
    }
    std::vector<std::string> seen() {
        std::lock_guard<std::mutex> lock(mutex_);
        return seen_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> seen_;
};

}  // namespace

// Every post form reaches the observers it should; each removal form takes
// away exactly the registrations it names.
TEST(NRVDistributedNotificationCenterTest, PostFormsAndRemovalForms) {
    testsupport::TempDir root;
    testsupport::ScopedEnv env("NRV_RUNTIME_ROOT", root.path());
    Recorder r;
    int a = 0, b = 0, c = 0, sentinel = 0;
    ASSERT_TRUE(NRVDistributedNotificationCenter::addObserver(&a, r.selector("a"), std::string("n1")));
    ASSERT_TRUE(NRVDistributedNotificationCenter::addObserver(&a, r.selector("a"), std::string("n2")));
    ASSERT_TRUE(NRVDistributedNotificationCenter::addObserver(&b, r.selector("b"), std::string("n1"), std::string("x")));
    ASSERT_TRUE(NRVDistributedNotificationCenter::addObserver(&b, r.selector("b"), std::string("n1"), std::string("y")));
    ASSERT_TRUE(NRVDistributedNotificationCenter::addObserver(&c, r.selector("c"), std::nullopt));
    ASSERT_TRUE(NRVDistributedNotificationCenter::addObserver(&sentinel, r.selector("s"), std::string("sync")));

    NRVDictionary info;
    info.set("registeredName", "com.nerova.xpc.name.test");
    ASSERT_TRUE(NRVDistributedNotificationCenter::postNotificationName("n1"));
    ASSERT_TRUE(NRVDistributedNotificationCenter::postNotificationName("n1", std::string("x")));
    ASSERT_TRUE(NRVDistributedNotificationCenter::postNotificationName("n2", info));
    ASSERT_TRUE(NRVDistributedNotificationCenter::postNotificationName("n1", std::string("y"), info));
    ASSERT_TRUE(NRVDistributedNotificationCenter::postNotificationName("sync", std::string("1")));
    ASSERT_TRUE(r.waitFor("s:sync/1"));
    EXPECT_EQ(r.seen(), (std::vector<std::string>{"a:n1", "c:n1", "a:n1/x", "b:n1/x", "c:n1/x", "a:n2+1", "c:n2+1",
                                                  "a:n1/y+1", "b:n1/y+1", "c:n1/y+1", "c:sync/1", "s:sync/1"}));

    NRVDistributedNotificationCenter::removeObserver(&a, std::string("n1"));
    NRVDistributedNotificationCenter::removeObserver(&b, std::string("n1"), std::string("x"));
    NRVDistributedNotificationCenter::removeObserver(&c);
    for (const char* object : {"x", "y"}) ASSERT_TRUE(NRVDistributedNotificationCenter::postNotificationName("n1", std::string(object)));
    ASSERT_TRUE(NRVDistributedNotificationCenter::postNotificationName("n2"));
    ASSERT_TRUE(NRVDistributedNotificationCenter::postNotificationName("sync", std::string("2")));
    ASSERT_TRUE(r.waitFor("s:sync/2"));
    const auto seen = r.seen();
    EXPECT_EQ(std::vector<std::string>(seen.begin() + 12, seen.end()),
              (std::vector<std::string>{"b:n1/y", "a:n2", "s:sync/2"}));

    for (const void* o : {static_cast<const void*>(&a), static_cast<const void*>(&b),
                          static_cast<const void*>(&sentinel)})
        NRVDistributedNotificationCenter::removeObserver(o);
}

TEST(NRVDistributedNotificationCenterTest, FailuresComeBackAsErrors) {
    testsupport::TempDir root;
    testsupport::writeText(root / "notify", "a file where the folder belongs");
    testsupport::ScopedEnv env("NRV_RUNTIME_ROOT", root.path());
    int observer = 0;
    NRVError error;
    EXPECT_FALSE(NRVDistributedNotificationCenter::addObserver(&observer, [](const NRVNotification&) {},
                                                               std::string("n"), &error));
    EXPECT_EQ(error.domain, NRVDistributedNotificationCenter::kErrorDomain);
    EXPECT_NE(error.localizedDescription.find("is not a folder"), std::string::npos) << error.localizedDescription;
    EXPECT_FALSE(NRVDistributedNotificationCenter::postNotificationName("", &error));
}
