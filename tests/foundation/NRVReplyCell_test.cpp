#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "foundation/NRVReplyCell.h"

// The first answer counts; a second answer and any answer after the wait has
// ended change nothing.
TEST(NRVReplyCell, FirstAnswerBeforeCloseCounts) {
    NRVReplyCell<std::optional<std::string>> cell;
    cell.set(std::string("first"));
    cell.set(std::string("second"));
    EXPECT_EQ(cell.close(), std::optional<std::string>("first"));
    cell.set(std::string("late"));
    EXPECT_EQ(cell.close(), std::optional<std::string>("first"));

    // A NO counts as an answer: a YES after it does not turn it round.
    NRVReplyCell<bool> no;
    no.set(false);
    no.set(true);
    EXPECT_FALSE(no.close());
}

TEST(NRVReplyCell, NoAnswerGivesTheEmptyValueAndLateAnswersAreIgnored) {
    NRVReplyCell<bool> cell;
    EXPECT_FALSE(cell.close());
    cell.set(true);
    EXPECT_FALSE(cell.close());

    NRVReplyCell<std::optional<std::string>> name;
    EXPECT_EQ(name.close(), std::nullopt);
}
