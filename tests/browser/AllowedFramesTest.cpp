// The record of frames shown in pages of allowed sites: what the request
// filter and the behavior find in it, per tab, within its bound.

#include <gtest/gtest.h>

#include "browser/AllowedFrames.h"

TEST(AllowedFrames, BoundedOldestFirstAndEachTabForgetsOnlyItsOwn)
{
    CAllowedFrames frames(3);
    const int tabA = 0, tabB = 0;
    frames.Remember(&tabA, L"http://ads.test/a1.html");
    frames.Remember(&tabA, L"http://ads.test/a2.html#top");
    frames.Remember(&tabB, L"http://video.test/b1.html");
    // Referer carries no fragment; the frame's own URL may.
    EXPECT_TRUE(frames.Contains(L"http://ads.test/a2.html"));
    EXPECT_TRUE(frames.Contains(L"http://ads.test/a1.html#x"));
    EXPECT_FALSE(frames.Contains(L"http://ads.test/a1.htm"));
    EXPECT_FALSE(frames.Contains(L""));

    // A frame shown again is not counted twice, and refreshes its age.
    frames.Remember(&tabA, L"http://ads.test/a1.html");
    frames.Remember(&tabA, L"http://ads.test/a3.html");
    EXPECT_FALSE(frames.Contains(L"http://ads.test/a2.html"));
    EXPECT_TRUE(frames.Contains(L"http://ads.test/a1.html"));
    EXPECT_TRUE(frames.Contains(L"http://ads.test/a3.html"));
    EXPECT_TRUE(frames.Contains(L"http://video.test/b1.html"));

    // Tab A's next top-level navigation: tab B's frame stays.
    frames.Forget(&tabA);
    EXPECT_FALSE(frames.Contains(L"http://ads.test/a1.html"));
    EXPECT_FALSE(frames.Contains(L"http://ads.test/a3.html"));
    EXPECT_TRUE(frames.Contains(L"http://video.test/b1.html"));

    // No URL the browser could have navigated to is that long.
    frames.Remember(&tabA, L"http://ads.test/" + std::wstring(5000, L'x'));
    EXPECT_TRUE(frames.Contains(L"http://video.test/b1.html"));
    EXPECT_FALSE(frames.Contains(L"http://ads.test/" + std::wstring(5000, L'x')));
}
