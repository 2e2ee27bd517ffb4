#include <gtest/gtest.h>

#include "engine/FilterRule.h"

TEST(FilterRuleLayout, RecordSizeCountsHeaderBodyAndTerminator)
{
    EXPECT_EQ(FilterRecordSize(2), 10u);
    EXPECT_EQ(FilterRecordSize(0), 6u);
}
