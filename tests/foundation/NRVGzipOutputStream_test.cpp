// The streaming gzip writer: pieces in, one gzip stream out, put in place
// only when finished; nothing left behind otherwise.
#include <gtest/gtest.h>

#include <filesystem>

#include "foundation/NRVGzipOutputStream.h"
#include "foundation/NSDataExtensions.h"
#include "support/TestSupport.h"

namespace {

std::vector<std::string> entries(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(folder)) names.push_back(e.path().filename().string());
    return names;
}

TEST(NRVGzipOutputStream, PiecesBecomeOneStreamPutInPlaceWhenFinished) {
    testsupport::TempDir dir;
    const std::string target = dir / "day.log.gz";
    std::string text;
    for (int i = 0; i < 200000; ++i) text += "line " + std::to_string(i * 7919 % 100003) + "\n";

    NRVGzipOutputStream out(target);
    ASSERT_TRUE(out.open());
    for (std::size_t at = 0; at < text.size(); at += 4099) ASSERT_TRUE(out.write(std::string_view(text).substr(at, 4099)));
    // Not there until finished; only the hidden temporary file is.
    EXPECT_FALSE(testsupport::exists(target));
    EXPECT_EQ(entries(dir.path()).size(), 1u);
    ASSERT_TRUE(out.finish());
    EXPECT_EQ(out.uncompressedBytes(), text.size());
    EXPECT_EQ(out.compressedBytes(), std::filesystem::file_size(target));

    const std::string gz = testsupport::readText(target);
    const auto back = NSDataExtensions::gzipDecompress(std::span(reinterpret_cast<const std::uint8_t*>(gz.data()), gz.size()));
    ASSERT_TRUE(back.has_value());
    EXPECT_TRUE(std::string(reinterpret_cast<const char*>(back->data()), back->size()) == text);
    EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"day.log.gz"});

    // Discarded or dropped unfinished: the old file stays, nothing is added.
    {
        NRVGzipOutputStream dropped(target);
        ASSERT_TRUE(dropped.open());
        ASSERT_TRUE(dropped.write("replacement"));
    }
    NRVGzipOutputStream discarded(target);
    ASSERT_TRUE(discarded.open());
    ASSERT_TRUE(discarded.write("replacement"));
    discarded.discard();
    EXPECT_EQ(testsupport::readText(target), gz);
    EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"day.log.gz"});

    // A folder that does not exist: refused with a text.
    NRVGzipOutputStream nowhere(dir / "missing/day.log.gz");
    platform::Error error;
    EXPECT_FALSE(nowhere.open(&error));
    EXPECT_FALSE(error.description.empty());
}

}  // namespace
