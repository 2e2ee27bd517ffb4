#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "engine/FilterRule.h"

namespace {

CFilterRulePtr Parse(const std::wstring& text)
{
    FilterRule* rule = nullptr;
    if (!ParseFilter(text.c_str(), &rule))
        return nullptr;
    return CFilterRulePtr(rule);
}

bool Matches(const std::wstring& filter, const std::wstring& url)
{
    CFilterRulePtr rule = Parse(filter);
    EXPECT_TRUE(rule) << "not a filter: " << testing::PrintToString(filter);
    return rule && MatchFilter(*rule, url.c_str());
}

} // namespace

TEST(FilterRuleLayout, RecordSizeCountsHeaderBodyAndTerminator)
{
    EXPECT_EQ(FilterRecordSize(2), 10u);
    EXPECT_EQ(FilterRecordSize(0), 6u);
}

TEST(ParseFilter, SplitsMarkersAndBody)
{
    struct Case
    {
        const wchar_t* text;
        int isException;
        int isRegex;
        const wchar_t* body;
    };
    const Case cases[] = {
        {L"*ads*", 0, 0, L"*ads*"},
        {L"%*/images/*", 1, 0, L"*/images/*"},
        {L"/banner[0-9]+\\.gif/", 0, 1, L"banner[0-9]+\\.gif"},
        {L"%/a/b/", 1, 1, L"a/b"},
        {L"/abc", 0, 0, L"/abc"},
        {L"//", 0, 1, L""},
        {L"%%", 1, 0, L"%"},
        {L"", 0, 0, L""},
        {L"/", 0, 0, L"/"},
        {L"%/", 1, 0, L"/"},
        {L"%//", 1, 1, L""},
        {L"abc/", 0, 0, L"abc/"},
        {L"%%/x/", 1, 0, L"%/x/"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.text)));
        CFilterRulePtr rule = Parse(c.text);
        ASSERT_TRUE(rule);
        EXPECT_EQ(rule->isException, c.isException);
        EXPECT_EQ(rule->isRegex, c.isRegex);
        EXPECT_EQ(std::wstring(rule->body, rule->length), c.body);
        EXPECT_EQ(rule->body[rule->length], L'\0');
        // FilterToText is the exact inverse for every valid text.
        EXPECT_EQ(FilterToText(*rule), c.text);
    }
}

TEST(ParseFilter, RecordBytesAreTheStorageFormat)
{
    CFilterRulePtr rule = Parse(L"%/ab/");
    ASSERT_TRUE(rule);
    const unsigned char expected[] = {0x01, 0x01, 0x02, 0x00, 0x61, 0x00, 0x62, 0x00, 0x00, 0x00};
    ASSERT_EQ(FilterRecordSize(*rule), sizeof expected);
    EXPECT_EQ(std::memcmp(rule.get(), expected, sizeof expected), 0);
}

TEST(ParseFilter, RefusesLineBreaksAndOverlongBodies)
{
    for (const wchar_t* text : {L"a\nb", L"a\rb", L"/a\n/", L"\n", L"%\r"}) {
        FilterRule* rule = reinterpret_cast<FilterRule*>(0x1);
        EXPECT_FALSE(ParseFilter(text, &rule)) << testing::PrintToString(std::wstring(text));
        EXPECT_EQ(rule, reinterpret_cast<FilterRule*>(0x1)) << "out parameter must stay untouched";
    }

    // The length field is 16 bits: the longest body fits, one more does not,
    // whatever the markers around it.
    const std::wstring longest(kMaxFilterBodyLength, L'a');
    CFilterRulePtr rule = Parse(L"%/" + longest + L"/");
    ASSERT_TRUE(rule);
    EXPECT_EQ(rule->length, kMaxFilterBodyLength);
    EXPECT_EQ(rule->body[kMaxFilterBodyLength - 1], L'a');
    EXPECT_FALSE(Parse(longest + L"a"));
    EXPECT_FALSE(Parse(L"/" + longest + L"a/"));
    // The markers do not count towards the limit.
    EXPECT_TRUE(Parse(L"%" + longest));
}

TEST(CheckWildcard, AcceptsOnlyStarQuestionAndBackslashEscapes)
{
    const std::wstring message = L"the expression contains an invalid escape sequence";
    for (const wchar_t* body : {L"", L"*ads*", L"\\*", L"\\?", L"\\\\", L"a\\*b\\?c\\\\d", L"%/"})
        EXPECT_EQ(CheckWildcard(body), nullptr) << testing::PrintToString(std::wstring(body));
    for (const wchar_t* body : {L"a\\b", L"abc\\", L"\\", L"\\\\\\", L"x\\.y"}) {
        const wchar_t* result = CheckWildcard(body);
        ASSERT_NE(result, nullptr) << testing::PrintToString(std::wstring(body));
        EXPECT_EQ(result, message);
    }
    EXPECT_EQ(std::wstring(CheckWildcard(L"a\\b")), RegexErrorText(2));
}

TEST(MatchWildcard, MatchesWholeTextIgnoringAsciiCase)
{
    struct Case
    {
        const wchar_t* pattern;
        const wchar_t* text;
        bool expected;
    };
    const Case cases[] = {
        {L"ads", L"ads", true},
        {L"ads", L"http://x/ads", false},
        {L"ads", L"adsx", false},
        {L"*ads*", L"http://x.com/ADS/banner", true},
        {L"*ads*", L"http://x.com/banner", false},
        {L"*.GIF", L"http://x.com/a.gif", true},
        {L"*.gif", L"http://x.com/a.gif?x", false},
        {L"a?c", L"abc", true},
        {L"a?c", L"a?c", true},
        {L"a?c", L"ac", false},
        {L"a?c", L"abbc", false},
        {L"\\*", L"*", true},
        {L"\\*", L"a", false},
        {L"\\*", L"", false},
        {L"\\?", L"?", true},
        {L"\\?", L"a", false},
        {L"\\\\", L"\\", true},
        {L"\\\\", L"\\\\", false},
        {L"", L"", true},
        {L"", L"a", false},
        {L"*", L"", true},
        {L"**", L"anything", true},
        {L"*a*b*c*", L"xxaxxbxxcxx", true},
        {L"*a*b*c*", L"xxaxxcxxbxx", false},
        {L"*ab", L"aab", true},
        {L"*aab", L"aaab", true},
        {L"a*", L"", false},
        {L"*?", L"", false},
        {L"*?", L"x", true},
        {L"http://*/ads/*", L"HTTP://EXAMPLE.COM/ADS/1.png", true},
        {L"*a\\*", L"xxa*", true},
        {L"*a\\*", L"xxab", false},
        {L"*\\*x", L"a*b*x", true},
        {L"*\\?b", L"aa?b", true},
        {L"*\\?b", L"aaxb", false},
        {L"*A", L"bbba", true},
        {L"*ab*", L"aaab", true},
        {L"*b", L"aaaa", false},
        {L"*b*", L"", false},
        // Only ASCII letters fold.
        {L"\u00e4", L"\u00c4", false},
        {L"\u00e4", L"\u00e4", true},
        {L"stra\u00dfe", L"STRA\u00dfE", true},
        // Letters next to the ASCII range do not fold either.
        {L"[", L"{", false},
        {L"@", L"`", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(MatchWildcard(c.pattern, c.text), c.expected)
            << testing::PrintToString(std::wstring(c.pattern)) << " vs " << testing::PrintToString(std::wstring(c.text));
    }
}

// Full backtracking over the same syntax, to compare with the single
// backtrack point of MatchWildcard.
static bool ReferenceMatch(const wchar_t* p, const wchar_t* t)
{
    const auto fold = [](wchar_t c) { return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - 32) : c; };
    switch (*p) {
    case L'\0':
        return *t == L'\0';
    case L'*':
        return ReferenceMatch(p + 1, t) || (*t != L'\0' && ReferenceMatch(p, t + 1));
    case L'?':
        return *t != L'\0' && ReferenceMatch(p + 1, t + 1);
    case L'\\':
        if (p[1] == L'\0')
            return *t == L'\\' && t[1] == L'\0';
        return *t != L'\0' && fold(p[1]) == fold(*t) && ReferenceMatch(p + 2, t + 1);
    default:
        return *t != L'\0' && fold(*p) == fold(*t) && ReferenceMatch(p + 1, t + 1);
    }
}

TEST(MatchWildcard, AgreesWithFullBacktrackingOnRandomInputs)
{
    std::mt19937 random(20080901);
    const wchar_t patternAlphabet[] = L"aAb*?\\";
    const wchar_t textAlphabet[] = L"aAb*?\\";
    for (int round = 0; round < 20000; ++round) {
        std::wstring pattern, text;
        for (std::size_t i = random() % 9; i > 0; --i)
            pattern += patternAlphabet[random() % (sizeof patternAlphabet / sizeof(wchar_t) - 1)];
        for (std::size_t i = random() % 9; i > 0; --i)
            text += textAlphabet[random() % (sizeof textAlphabet / sizeof(wchar_t) - 1)];
        ASSERT_EQ(MatchWildcard(pattern.c_str(), text.c_str()), ReferenceMatch(pattern.c_str(), text.c_str()))
            << testing::PrintToString(pattern) << " vs " << testing::PrintToString(text);
    }
}

TEST(MatchWildcard, TrailingUnpairedBackslashIsALiteralBackslash)
{
    // Such a body reaches the store only through import; the matcher must not
    // read past the pattern's terminator.
    const std::wstring pattern = L"abc\\";
    std::vector<wchar_t> exact(pattern.begin(), pattern.end());
    exact.push_back(L'\0');
    EXPECT_TRUE(MatchWildcard(exact.data(), L"abc\\"));
    EXPECT_TRUE(MatchWildcard(exact.data(), L"ABC\\"));
    EXPECT_FALSE(MatchWildcard(exact.data(), L"abc"));
    EXPECT_FALSE(MatchWildcard(exact.data(), L"abc\\x"));
    EXPECT_TRUE(MatchWildcard(L"*\\", L"x\\"));
    EXPECT_TRUE(MatchWildcard(L"\\", L"\\"));
    EXPECT_FALSE(MatchWildcard(L"\\", L""));
}

TEST(MatchWildcard, LongInputsStayFast)
{
    // One backtrack point: pattern x text at worst, no recursion.
    const std::wstring text(2083, L'a');
    const std::wstring pattern = L"*" + std::wstring(200, L'a') + L"*b*";
    const DWORD start = GetTickCount();
    for (int i = 0; i < 20; ++i)
        EXPECT_FALSE(MatchWildcard(pattern.c_str(), text.c_str()));
    EXPECT_LT(GetTickCount() - start, 5000u);
    EXPECT_TRUE(MatchWildcard((L"*" + std::wstring(2083, L'?')).c_str(), text.c_str()));
}

TEST(MatchFilter, WildcardsIgnoreCaseRegularExpressionsDoNot)
{
    EXPECT_TRUE(Matches(L"*.GIF", L"http://x.com/a.gif"));
    EXPECT_FALSE(Matches(L"/GIF/", L"http://x.com/a.gif"));
    EXPECT_TRUE(Matches(L"/gif/", L"http://x.com/a.gif"));
    // A regular expression is searched anywhere; "^" and "$" anchor.
    EXPECT_TRUE(Matches(L"/x\\.com/", L"http://x.com/a.gif"));
    EXPECT_FALSE(Matches(L"/^x\\.com/", L"http://x.com/a.gif"));
    EXPECT_TRUE(Matches(L"/\\.gif$/", L"http://x.com/a.gif"));
    // Markers do not change what matches; they are the caller's business.
    EXPECT_TRUE(Matches(L"%*ads*", L"http://ads.com/"));
    EXPECT_TRUE(Matches(L"%/ads/", L"http://ads.com/"));
}

TEST(MatchFilter, EmptyBodies)
{
    EXPECT_TRUE(Matches(L"//", L"http://anything/"));
    EXPECT_TRUE(Matches(L"//", L""));
    EXPECT_TRUE(Matches(L"%//", L"http://anything/"));
    EXPECT_TRUE(Matches(L"", L""));
    EXPECT_FALSE(Matches(L"", L"http://x/"));
}

TEST(MatchFilter, MalformedRegularExpressionNeverMatches)
{
    for (const wchar_t* filter : {L"/(/", L"/[a/", L"/a{2,1}/", L"/*a/", L"/a\\/", L"/(?<x>a)/"})
        EXPECT_FALSE(Matches(filter, L"http://a.com/(/[a/*a")) << testing::PrintToString(std::wstring(filter));
}

TEST(MatchFilter, RegexBodyStopsAtEmbeddedTerminator)
{
    // A record whose body holds a 0 is read as the zero-terminated string it
    // starts with, and never past its length.
    CFilterRulePtr rule = Parse(L"/abcd/");
    ASSERT_TRUE(rule);
    rule->body[2] = L'\0';
    EXPECT_TRUE(MatchFilter(*rule, L"xaby"));
    EXPECT_FALSE(MatchFilter(*rule, L"xcdy"));
}

TEST(RegexErrorText, CoversTheLibraryCodesAndTheTwoExtraTexts)
{
    EXPECT_STREQ(RegexErrorText(0), L"the expression contains an invalid collating element name");
    EXPECT_STREQ(RegexErrorText(5), L"the expression contains an unmatched '(' or ')'");
    EXPECT_STREQ(RegexErrorText(std::regex_constants::error_paren), RegexErrorText(5));
    EXPECT_STREQ(RegexErrorText(std::regex_constants::error_stack),
                 L"an attempted match failed because there was not enough memory available");
    EXPECT_STREQ(RegexErrorText(13), L"there was an error parsing the expression");
    EXPECT_STREQ(RegexErrorText(14), L"the expression contains invalid syntax");
    EXPECT_STREQ(RegexErrorText(15), RegexErrorText(13));
    EXPECT_STREQ(RegexErrorText(-1), RegexErrorText(13));
}
