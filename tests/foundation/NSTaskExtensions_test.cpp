#include "foundation/NSTaskExtensions.h"

#include <gtest/gtest.h>

namespace {

using NSTaskExtensions::launchTask;

struct ToolRun {
    bool ok = false;
    std::string out = "untouched", err = "untouched";
    int status = 12345;
};

ToolRun shell(const std::string& script, bool wantOut = true, bool wantErr = true) {
    platform::Task task;
    ToolRun r;
    r.ok = launchTask(task, "/bin/sh", std::vector<std::string>{"-c", script}, wantOut ? &r.out : nullptr,
                      wantErr ? &r.err : nullptr, &r.status);
    return r;
}

TEST(NSTaskExtensionsTest, KeepsTheTailOfEachStream) {
    struct Case {
        const char* name;
        std::string script;
        bool ok;
        int status;
        std::size_t outSize, errSize;
        char outLast, errLast;
    } cases[] = {
        {"40000 characters of output", "i=0; while [ $i -lt 4000 ]; do printf 'abcdefghi\\n'; i=$((i+1)); done; printf Z",
         true, 0, 32000, 0, 'Z', 0},
        {"1500 characters of errors", "head -c 1499 /dev/zero | tr '\\0' e >&2; printf Q >&2; exit 2", false, 2, 0, 1000,
         0, 'Q'},
        {"100 MiB of output", "head -c 104857600 /dev/zero | tr '\\0' x; printf Y", true, 0, 32000, 0, 'Y', 0},
    };
    for (const auto& c : cases) {
        const ToolRun r = shell(c.script);
        EXPECT_EQ(r.ok, c.ok) << c.name;
        EXPECT_EQ(r.status, c.status) << c.name;
        EXPECT_EQ(r.out.size(), c.outSize) << c.name;
        EXPECT_EQ(r.err.size(), c.errSize) << c.name;
        if (c.outLast) { EXPECT_EQ(r.out.back(), c.outLast) << c.name; }
        if (c.errLast) { EXPECT_EQ(r.err.back(), c.errLast) << c.name; }
    }
}

TEST(NSTaskExtensionsTest, ACharacterSplitBetweenReadsIsKept) {
    const ToolRun r = shell("printf 'a\\342\\202'; sleep 0.2; printf '\\254 b'; printf '\\377' >&2");
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.out, "a\u20AC b");
    EXPECT_EQ(r.err, "\uFFFD") << "bytes that are no UTF-8 at all are marked, not dropped";
}

TEST(NSTaskExtensionsTest, StreamsNobodyReadsCannotStall) {
    const ToolRun r = shell("head -c 8388608 /dev/zero >&2; echo done", true, false);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.out, "done\n");
    EXPECT_EQ(r.err, "untouched");
}

TEST(NSTaskExtensionsTest, RefusalsAndLaunchFailures) {
    platform::Task used;
    used.launchPath = "/bin/true";
    std::string out = "o", err = "e";
    int status = 7;
    EXPECT_FALSE(launchTask(used, "/bin/echo", std::nullopt, &out, &err, &status));
    EXPECT_EQ(used.processIdentifier(), -1) << "nothing was run";
    platform::Task fresh;
    EXPECT_FALSE(launchTask(fresh, "  ", std::nullopt, &out, &err, &status));
    EXPECT_FALSE(launchTask(fresh, std::nullopt, std::nullopt, &out, &err, &status));
    EXPECT_EQ(out, "o");
    EXPECT_EQ(err, "e");
    EXPECT_EQ(status, 7);

    platform::Task missing;
    EXPECT_FALSE(launchTask(missing, "/no/such/tool", std::nullopt, &out, &err, &status));
    EXPECT_EQ(status, -1);
    EXPECT_EQ(err.rfind("NSInvalidArgumentException: ", 0), 0u) << err;
    EXPECT_EQ(out, "o");
}

TEST(NSTaskExtensionsTest, AppendKeepsWholeCharactersOfTheLastUnits) {
    struct Case {
        const char* name;
        std::optional<std::string> data;
        std::string start;
        std::size_t n;
        bool ok;
        std::string expected;
    } cases[] = {
        {"nil data", std::nullopt, "abc", 2, true, "abc"},
        {"n of 0", std::string("x"), "abc", 0, true, "abc"},
        {"plain", std::string("def"), "abc", 4, true, "cdef"},
        {"two-unit characters are not split", std::string("\U0001F600\U0001F600"), "", 3, true, "\U0001F600"},
        {"invalid bytes", std::string("a\xFF"), "", 10, false, "a\uFFFD"},
    };
    for (const auto& c : cases) {
        std::string s = c.start;
        EXPECT_EQ(NSTaskExtensions::appendData(c.data, &s, c.n), c.ok) << c.name;
        EXPECT_EQ(s, c.expected) << c.name;
    }
    EXPECT_TRUE(NSTaskExtensions::appendData(std::string_view("x"), nullptr, 3));
}

}  // namespace
