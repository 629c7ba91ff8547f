#include "foundation/GetBSDProcessList.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "foundation/NRVUserInfo.h"
#include "platform/process/ProcessInfo.h"

namespace {

TEST(GetBSDProcessListTest, HoldsThisProcessWithItsParentAndName) {
    NRVKinfoProc* list = nullptr;
    std::size_t count = 0;
    ASSERT_EQ(GetBSDProcessList(&list, &count), 0);
    ASSERT_NE(list, nullptr);
    EXPECT_GE(count, 1u);
    const NRVKinfoProc* self = nullptr;
    for (std::size_t i = 0; i < count; ++i)
        if (list[i].pid == ::getpid()) self = &list[i];
    ASSERT_NE(self, nullptr);
    EXPECT_EQ(self->ppid, ::getppid());
    EXPECT_EQ(self->euid, ::geteuid());
    EXPECT_EQ(self->comm[sizeof self->comm - 1], '\0');
    auto record = platform::process::readProcessRecord(::getpid());
    ASSERT_TRUE(record);
    EXPECT_EQ(std::string(self->comm), record->name);
    EXPECT_EQ(self->startTimeTicks, record->startTimeTicks);
    std::free(list);
}

TEST(GetBSDProcessListTest, BrokenPreconditionsAreRefusedWithoutTouchingTheBlock) {
    std::size_t count = 7;
    EXPECT_EQ(GetBSDProcessList(nullptr, &count), EINVAL);
    NRVKinfoProc* list = nullptr;
    EXPECT_EQ(GetBSDProcessList(&list, nullptr), EINVAL);
    NRVKinfoProc existing{};
    NRVKinfoProc* notNull = &existing;
    EXPECT_EQ(GetBSDProcessList(&notNull, &count), EINVAL);
    EXPECT_EQ(notNull, &existing);
}

TEST(NRVUserInfoTest, AdminMembershipAndGroupLookups) {
    // No account has this id.
    EXPECT_FALSE(NRVUserInfo::isMemberOfAdminForUid(0x7FFFFFF0u));
    EXPECT_FALSE(platform::process::isUserInGroup(0x7FFFFFF0u, "root"));
    // root's primary group is root on every system we build on.
    EXPECT_TRUE(platform::process::isUserInGroup(0, "root"));
    EXPECT_FALSE(platform::process::isUserInGroup(0, "no-such-group-nrv"));
    // Answers the same as asking for the real user explicitly.
    EXPECT_EQ(NRVUserInfo::isMemberOfAdmin(), NRVUserInfo::isMemberOfAdminForUid(::getuid()));
}

}  // namespace
