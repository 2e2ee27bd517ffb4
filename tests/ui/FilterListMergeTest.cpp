#include <gtest/gtest.h>

#include "ui/FilterListMerge.h"

using Texts = std::vector<std::wstring>;

// Both the user's work and the change made elsewhere survive: additions
// elsewhere are appended, removals elsewhere are honoured, duplicates are
// counted copy by copy.
TEST(MergeFilterLists, KeepsTheUsersWorkAndTheChangeMadeElsewhere)
{
    // The user sorted, edited "b" into "B" and added "x"; elsewhere "y" and
    // a second "a" were appended and "c" was removed.
    const Texts base = {L"c", L"a", L"b", L"d"};
    const Texts mine = {L"B", L"a", L"c", L"d", L"x"};
    const Texts theirs = {L"a", L"b", L"d", L"y", L"a"};
    const CFilterListMerge merge = MergeFilterLists(base, mine, theirs);
    EXPECT_EQ(merge.merged, (Texts{L"B", L"a", L"d", L"x", L"y", L"a"}));
    EXPECT_EQ(merge.addedElsewhere, 2u);
    EXPECT_EQ(merge.removedElsewhere, 1u);

    // Nothing changed elsewhere: the user's list as it is.
    EXPECT_EQ(MergeFilterLists(base, mine, base).merged, mine);
    // Cleared elsewhere: only what the user added stays.
    EXPECT_EQ(MergeFilterLists(base, mine, {}).merged, (Texts{L"B", L"x"}));
    // The same filter added on both sides is kept twice.
    EXPECT_EQ(MergeFilterLists({}, {L"z"}, {L"z"}).merged, (Texts{L"z", L"z"}));
    // A filter the user removed too is gone once, not twice.
    EXPECT_EQ(MergeFilterLists({L"a", L"a"}, {L"a"}, {L"a"}).merged, (Texts{}));
}
