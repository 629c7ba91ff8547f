#include "platform/http/CookieStoreLimit.h"

#include <gtest/gtest.h>

using platform::http::Cookie;
using platform::http::CookieStoreLimit;

namespace {

Cookie cookie(const std::string& domain, const std::string& name) {
    Cookie c;
    c.domain = domain;
    c.path.assign(1, '/');
    c.name = name;
    c.value.assign(1, 'v');
    return c;
}

std::vector<std::string> keptNames(const std::vector<Cookie>& cookies, const std::vector<bool>& kept) {
    std::vector<std::string> names;
    for (std::size_t i = 0; i < cookies.size(); ++i)
        if (kept[i]) names.push_back(cookies[i].name);
    return names;
}

}  // namespace

// The oldest cookie of a full domain goes; a cookie set again keeps its
// age; domains compare without case; the total cap drops the oldest of all.
TEST(CookieStoreLimit, DropsTheOldestPerDomainAndInAll) {
    CookieStoreLimit limit(2, 3);
    std::vector<Cookie> store = {cookie("a.test", "a1"), cookie("a.test", "a2")};
    EXPECT_EQ(keptNames(store, limit.keep(store)), (std::vector<std::string>{"a1", "a2"}));

    // a1 was set again: it keeps its first age and goes when a3 comes.
    store = {cookie("a.test", "a1"), cookie("a.test", "a2"), cookie("A.TEST", "a3")};
    EXPECT_EQ(keptNames(store, limit.keep(store)), (std::vector<std::string>{"a2", "a3"}));

    store = {cookie("a.test", "a2"), cookie("a.test", "a3"), cookie("b.test", "b1"), cookie("c.test", "c1")};
    EXPECT_EQ(keptNames(store, limit.keep(store)), (std::vector<std::string>{"a3", "b1", "c1"}));

    // A dropped cookie that comes back is new again.
    store = {cookie("a.test", "a3"), cookie("b.test", "b1"), cookie("c.test", "c1"), cookie("a.test", "a2")};
    EXPECT_EQ(keptNames(store, limit.keep(store)), (std::vector<std::string>{"b1", "c1", "a2"}));
}
