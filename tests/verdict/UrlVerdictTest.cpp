#include <gtest/gtest.h>

#include <random>

#include "com/Error.h"
#include "verdict/UrlVerdict.h"
#include "storage/FilterListStore.h"
#include "tests/storage/StoreTestSupport.h"
#include "tests/support/Roles.h"

namespace {

class UrlVerdict : public testing::Test
{
protected:
    CScratchStore m_files{L"storage.bin"};
    std::unique_ptr<CSharedStore> m_store = m_files.OpenFilterList();

    // Each text: optional "%" (exception), then "/body/" (regular expression)
    // or a wildcard body.
    void SetList(const std::vector<std::wstring>& texts)
    {
        std::vector<CFilterRulePtr> owned;
        std::vector<const FilterRule*> records;
        for (std::wstring text : texts) {
            bool isException = text[0] == L'%';
            if (isException)
                text.erase(0, 1);
            bool isRegex = text.size() >= 2 && text.front() == L'/' && text.back() == L'/';
            if (isRegex)
                text = text.substr(1, text.size() - 2);
            owned.push_back(MakeRecord(text, isException, isRegex));
            records.push_back(owned.back().get());
        }
        CStoreWriter writer(*m_store);
        ReplaceAllRecords(writer, records.data(), records.data() + records.size());
    }

    bool Allowed(const wchar_t* url) { return IsUrlAllowed(*m_store, url); }
};

}  // namespace

TEST_F(UrlVerdict, AnEmptyListAllowsEverything)
{
    EXPECT_TRUE(Allowed(L"http://ads.example.com/banner.gif"));
}

TEST_F(UrlVerdict, AnExceptionAnywhereInTheListWins)
{
    const wchar_t* allowed = L"http://example.com/ads/allowed/1.png";
    const wchar_t* blocked = L"http://example.com/ads/2.png";
    for (const auto& list : std::vector<std::vector<std::wstring>>{
             {L"*ads*", L"%*/ads/allowed/*"},
             {L"%*/ads/allowed/*", L"*ads*"},
             {L"*ads*", L"*.png", L"%*/ads/allowed/*"},
             {L"*.png", L"%*/ads/allowed/*", L"*ads*"}}) {
        SetList(list);
        EXPECT_TRUE(Allowed(allowed)) << testing::PrintToString(list);
        EXPECT_FALSE(Allowed(blocked)) << testing::PrintToString(list);
        EXPECT_TRUE(Allowed(L"http://example.com/clean.html")) << testing::PrintToString(list);
    }
}

// The filters see the URL with its %XX sequences decoded.
TEST_F(UrlVerdict, FiltersSeeTheDecodedUrl)
{
    SetList({L"*/ads/*"});
    EXPECT_FALSE(Allowed(L"http://example.com/%61ds/x.gif"));
}

// An escaped zero decodes to a terminator; it must not hide the rest of the
// URL from the filters.
TEST_F(UrlVerdict, AnEscapedZeroCannotHideTheRestOfTheUrl)
{
    SetList({L"*banner*"});
    EXPECT_FALSE(Allowed(L"http://ads.example.com/banner.gif"));
    EXPECT_FALSE(Allowed(L"http://ads.example.com/%00/banner.gif"));
    EXPECT_FALSE(Allowed(L"http://ads.example.com/x%00y/banner.gif"));
    EXPECT_FALSE(Allowed(L"http://ads.example.com/%00%00banner"));
    EXPECT_FALSE(Allowed(L"http://ads.example.com/?q=%00&banner"));
    // A fragment is never requested: only what reaches the server counts.
    EXPECT_TRUE(Allowed(L"http://ads.example.com/?q=%00#banner"));
    EXPECT_TRUE(Allowed(L"http://ads.example.com/%00/clean.gif"));
    // The zero is seen as its escape, and the rest decoded as usual.
    SetList({L"http://ads.example.com/%00/ads/x.gif", L"/x%00y\\/b/"});
    EXPECT_FALSE(Allowed(L"http://ads.example.com/%00/%61ds/x.gif"));
    EXPECT_FALSE(Allowed(L"http://ads.example.com/x%00y/banner.gif"));
    // So is "%2500", which always decoded to the text "%00".
    EXPECT_FALSE(Allowed(L"http://ads.example.com/%2500/ads/x.gif"));

    std::wstring storage;
    const wchar_t* plain = L"http://example.com/%20%0A%0";
    EXPECT_EQ(KeepEncodedZerosVisible(plain, storage), plain);
    EXPECT_EQ(std::wstring(KeepEncodedZerosVisible(L"%00a%000%%00", storage)), L"%2500a%25000%%2500");
}

TEST_F(UrlVerdict, AnOverlongCanonicalUrlThrowsInsteadOfAnswering)
{
    std::wstring url = L"http://example.com/" + std::wstring(2100, L'a');
    try {
        Allowed(url.c_str());
        ADD_FAILURE() << "no exception";
    } catch (const CHResultException& e) {
        EXPECT_EQ(e.GetHResult(), HResultFromWin32(ERROR_INSUFFICIENT_BUFFER));
    }
}

TEST_F(UrlVerdict, AMalformedRegularExpressionIsSkippedSilently)
{
    SetList({L"/ad(s/", L"*tracker*"});
    EXPECT_TRUE(Allowed(L"http://example.com/ads/"));
    EXPECT_FALSE(Allowed(L"http://example.com/tracker.js"));
}

// The quick test before the wildcard matcher may say "may match" too often,
// never too rarely: compared with the matcher itself on random patterns and
// texts over an alphabet of special characters, letters in both cases and
// characters whose low bytes collide.
TEST(UrlCharacterPairs, NeverRulesOutAPatternThatMatches)
{
    const wchar_t alphabet[] = {L'a', L'A', L'b', L'.', L'*', L'?', L'\\', 0x00E9, 0x01E9};
    std::mt19937 random(7);
    auto make = [&](std::size_t maxLength) {
        std::wstring text(random() % (maxLength + 1), L' ');
        for (wchar_t& c : text)
            c = alphabet[random() % (sizeof alphabet / sizeof alphabet[0])];
        return text;
    };
    int matches = 0;
    for (int round = 0; round < 200000; ++round) {
        std::wstring pattern = make(6), text = make(10);
        if (MatchWildcard(pattern.c_str(), text.c_str())) {
            ++matches;
            ASSERT_TRUE(CUrlCharacterPairs(text.c_str()).MayMatch(pattern.c_str()))
                << testing::PrintToString(pattern) << " matches " << testing::PrintToString(text);
        }
    }
    EXPECT_GT(matches, 1000);
    // And it does rule filters out.
    CUrlCharacterPairs pairs(L"http://example.com/clean.html");
    EXPECT_FALSE(pairs.MayMatch(L"*banner*"));
    EXPECT_TRUE(pairs.MayMatch(L"*CLEAN*"));
}

// args: store files. Appends "*tracker*".
QUELLAN_TEST_ROLE(AppendTracker)
{
    CScratchStore files(args);
    auto store = files.OpenFilterList();
    auto record = MakeRecord(L"*tracker*");
    CStoreWriter writer(*store);
    AppendRecord(writer, *record);
    return 0;
}

TEST_F(UrlVerdict, AChangeInOneProcessAppliesToTheNextCheckInAnother)
{
    const wchar_t* url = L"http://example.com/tracker.js";
    EXPECT_TRUE(Allowed(url));
    ASSERT_EQ(RunRole(L"AppendTracker", m_files.ToArgs()).exitCode, 0u);
    EXPECT_FALSE(Allowed(url));
}
