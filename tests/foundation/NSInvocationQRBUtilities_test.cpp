#include "foundation/NSInvocationQRBUtilities.h"

#include <gtest/gtest.h>

namespace {

class Counter : public NRVInvocationTarget {
public:
    int total = 0;
    int calls = 0;

    const SelectorTable& selectorTable() const override {
        static const SelectorTable table{
            {"addValue:", [](NRVInvocationTarget& self, const void* argument) {
                 auto& counter = static_cast<Counter&>(self);
                 counter.total += *static_cast<const int*>(argument);
                 ++counter.calls;
             }},
        };
        return table;
    }
};

}  // namespace

TEST(NSInvocationQRBUtilities, CallsByName) {
    Counter counter;
    const int five = 5;
    EXPECT_TRUE(QRBUtilities::invokeSelector("addValue:", &counter, &five));
    EXPECT_TRUE(QRBUtilities::invokeSelector("addValue:", &counter, &five));
    EXPECT_EQ(counter.total, 10);

    EXPECT_FALSE(QRBUtilities::invokeSelector("subtractValue:", &counter, &five));
    EXPECT_FALSE(QRBUtilities::invokeSelector("", &counter, &five));
    EXPECT_FALSE(QRBUtilities::invokeSelector("addValue:", nullptr, &five));
    EXPECT_EQ(counter.calls, 2);
}
