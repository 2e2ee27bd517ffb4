#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "com/Error.h"
#include "engine/AdblockFormat.h"
#include "tests/support/SmallStack.h"

namespace {

std::string ExportLine(const std::wstring& text)
{
    FilterRule* parsed = nullptr;
    EXPECT_TRUE(ParseFilter(text.c_str(), &parsed));
    const CFilterRulePtr rule(parsed);
    if (!rule)
        return "<invalid>";
    return TryFilterToAdblockLine(*rule).value_or("<left out>");
}

// The internal text AdblockLineToFilter makes of a line, or "<ignored>".
std::wstring ImportLine(const std::string& line)
{
    FilterRule* parsed = reinterpret_cast<FilterRule*>(0x1);
    if (!AdblockLineToFilter(line, &parsed)) {
        EXPECT_EQ(parsed, reinterpret_cast<FilterRule*>(0x1)) << "out parameter must stay untouched";
        return L"<ignored>";
    }
    const CFilterRulePtr rule(parsed);
    return FilterToText(*rule);
}

struct CImport
{
    std::vector<std::wstring> texts;
    CAdblockImportResult result;
};

CImport Import(const std::string& file)
{
    std::istringstream in(file);
    CImport import;
    import.result = ReadAdblockList(in, [&](const std::wstring& text) { import.texts.push_back(text); });
    return import;
}

bool RefusesHeader(const std::string& file)
{
    std::istringstream in(file);
    std::size_t added = 0;
    try {
        ReadAdblockList(in, [&](const std::wstring&) { ++added; });
    } catch (int code) {
        EXPECT_EQ(code, 5);
        EXPECT_EQ(added, 0u);
        return true;
    }
    return false;
}

const std::pair<const wchar_t*, const char*> kExportExamples[] = {
    {L"*banner*", "banner"},
    {L"banner", "|banner|"},
    {L"banner*", "|banner"},
    {L"*banner", "banner|"},
    {L"%*banner*", "@@banner"},
    {L"/ban+er/", "/ban+er/"},
    {L"%/ban+er/", "@@/ban+er/"},
    {L"", "||"},
    // Lines that would read back as other filters are anchored at both ends
    // with their stars, which reads back as it is.
    {L"**", "|**|"},
    {L"%*", "@@|*|"},
    // No end anchor: import gives the last star back.
    {L"a?c\\*", "|a?c\\"},
};

} // namespace

TEST(FilterToAdblockLine, TurnsWildcardAnchoringIntoBars)
{
    for (const auto& [text, line] : kExportExamples)
        EXPECT_EQ(ExportLine(text), line) << testing::PrintToString(std::wstring(text));
    EXPECT_EQ(ExportLine(L"*"), "|*|");
    EXPECT_EQ(ExportLine(L"*a*b*"), "a*b");
    EXPECT_EQ(ExportLine(L"*@@*"), "|*@@*|");
    EXPECT_EQ(ExportLine(L"//"), "//");
    // Bodies are UTF-8.
    EXPECT_EQ(ExportLine(L"*\u00fcber\u20ac*"), "\xC3\xBC" "ber\xE2\x82\xAC");
    // "$" starts options: such filters cannot be written.
    EXPECT_EQ(ExportLine(L"*a$b*"), "<left out>");
    EXPECT_EQ(ExportLine(L"/pix/$/"), "<left out>");
    EXPECT_EQ(ExportLine(L"/a$b/"), "/a$b/");
}

TEST(AdblockLineToFilter, ReadsAnchorsExceptionsAndExpressions)
{
    const std::pair<const char*, const wchar_t*> cases[] = {
        {"banner", L"*banner*"},
        {"|banner", L"banner*"},
        {"banner|", L"*banner"},
        {"|banner|", L"banner"},
        {"||example^", L"|example^*"},
        {"@@banner", L"%*banner*"},
        {"/ban+er/", L"/ban+er/"},
        {"@@/ban+er/", L"%/ban+er/"},
        {"//", L"//"},
        {"@@", L"%**"},
        {"/a/b/", L"/a/b/"},
        {"/abc", L"*/abc*"},
        {"/", L"*/*"},
        {"@@@@x", L"%*@@x*"},
        {"\xC3\xBC" "ber", L"*\u00fcber*"},
        // A lone "|" is both anchors: the empty wildcard.
        {"|", L""},
        {"@@|", L"%"},
        {"||", L""},
        // Regular-expression bodies are taken as they are, valid or not.
        {"/(/", L"/(/"},
    };
    for (const auto& [line, text] : cases)
        EXPECT_EQ(ImportLine(line), text) << line;
}

TEST(AdblockLineToFilter, IgnoresCommentsEmptyLinesAndOptions)
{
    for (const char* line : {"", "!", "! any text", "!banner", "banner$script", "@@banner$third-party", "$",
                             "/ban+er/$image", "/a/$b/", "|x|$domain=y.com"})
        EXPECT_EQ(ImportLine(line), L"<ignored>") << line;
    // "$" inside a regular expression's slashes is part of it.
    EXPECT_EQ(ImportLine("/a$b/"), L"/a$b/");
    EXPECT_EQ(ImportLine("/a$/"), L"/a$/");
}

TEST(AdblockLineToFilter, BodiesBeyondTheRecordLimitAreSkipped)
{
    const std::string longest(kMaxFilterBodyLength, 'a');
    EXPECT_EQ(ImportLine("/" + longest + "/").size(), kMaxFilterBodyLength + 2);
    EXPECT_EQ(ImportLine("|" + longest + "|").size(), kMaxFilterBodyLength);
    EXPECT_EQ(ImportLine("/" + longest + "a/"), L"<ignored>");
    // The anchors' stars count: 65534 characters become 65536 units.
    EXPECT_EQ(ImportLine(longest.substr(1)), L"<ignored>");
    // Units, not bytes: 40000 two-byte characters fit.
    std::string wide;
    for (int i = 0; i < 40000; ++i)
        wide += "\xC3\xA9";
    EXPECT_EQ(ImportLine("|" + wide + "|").size(), 40000u);
}

// A list exported and imported again means the same: every filter comes
// back as it was, or the export says it was left out.
TEST(AdblockFormat, ExportThenImportGivesBackEveryFilterOrLeavesItOut)
{
    std::vector<std::wstring> texts = {
        L"*@@*", L"*/sponsor/*", L"*|tracker*", L"*@@ads*", L"*!promo*", L"*", L"**", L"%*", L"%**", L"***a**",
        L"a\\*", L"a\\\\*", L"*\\*", L"|x|", L"*||x||*", L"%*/ads/*", L"/a/b/", L"%//", L"/x\\//", L"*/",
        L"/", L"@@", L"*!", L"!x", L"%|", L"|", L"", L"%", L"*?*", L"\\|a|", L"*a$b*", L"/pix/$/", L"*$*"};
    for (const auto& [text, line] : kExportExamples)
        texts.emplace_back(text);
    std::ostringstream out;
    const CAdblockExportResult written = WriteAdblockList(
        out, texts.size(), [&](std::size_t i) { return texts[i]; }, "2008-09-01T07:24:00+02:00");
    const std::vector<std::wstring> leftOut = {L"*a$b*", L"/pix/$/", L"*$*"};
    EXPECT_EQ(written.leftOut, leftOut);
    EXPECT_EQ(written.written, texts.size() - leftOut.size());

    std::vector<std::wstring> kept;
    for (const auto& text : texts)
        if (std::find(leftOut.begin(), leftOut.end(), text) == leftOut.end())
            kept.push_back(text);
    const CImport import = Import(out.str());
    EXPECT_EQ(import.texts, kept);
    EXPECT_EQ(import.result.skipped + import.result.ignored, 1u);  // the comment
}

TEST(AdblockFormat, WritesHeaderCommentAndValidFiltersWithLineFeeds)
{
    const std::vector<std::wstring> texts = {L"*banner*", L"bad\ntext", L"%/ban+er/", L"*\u00fc*", L"banner"};
    std::ostringstream out;
    const CAdblockExportResult written = WriteAdblockList(
        out, texts.size(), [&](std::size_t i) { return texts[i]; }, "2008-09-01T07:24:00+02:00");
    EXPECT_EQ(written.written, 4u);
    EXPECT_EQ(written.invalid, 1u);
    EXPECT_EQ(out.str(), "[Adblock]\n"
                         "! Exported from Quellan at 2008-09-01T07:24:00+02:00\n"
                         "banner\n"
                         "@@/ban+er/\n"
                         "\xC3\xBC\n"
                         "|banner|\n");

    std::ostringstream withTime;
    WriteAdblockList(withTime, {L"x"});
    EXPECT_EQ(withTime.str().find("[Adblock]\n! Exported from Quellan at "), 0u);
}

TEST(AdblockFormat, ImportKeepsFileOrderDuplicatesAndCountsWhatItSkips)
{
    const CImport import = Import("[Adblock Plus 2.0]\n"
                                  "! Title: test\n"
                                  "ads\n"
                                  "\n"
                                  "ads\n"
                                  "banner$script\n"
                                  "@@banner$third-party\n"
                                  "*a$b*\n"
                                  "/a/$b/\n"
                                  "@@|x|\n"
                                  "last");
    EXPECT_EQ(import.texts, (std::vector<std::wstring>{L"*ads*", L"*ads*", L"%x", L"*last*"}));
    EXPECT_EQ(import.result.added, 4u);
    EXPECT_EQ(import.result.ignored, 2u);
    EXPECT_EQ(import.result.skipped, 4u);
}

// A filter text ends at a NUL, while the anchors and markers come from the
// whole line: such a line cannot be stored as it reads, and one hostile line
// could otherwise allow or block every URL. It is skipped and counted.
TEST(AdblockFormat, ALineHoldingANulByteIsSkippedAndCounted)
{
    using namespace std::string_literals;
    for (const std::string& line : {"@@\0x"s, "\0evil"s, "ad\0banner"s, "/ad\0/"s, "|x\0|"s, "\0"s, "banner\0"s})
        EXPECT_EQ(ImportLine(line), L"<ignored>") << testing::PrintToString(line);
    const CImport import = Import("[Adblock]\n@@\0x\n\0evil\nad\0banner\ngood\n"s);
    EXPECT_EQ(import.texts, (std::vector<std::wstring>{L"*good*"}));
    EXPECT_EQ(import.result.skipped, 3u);
    EXPECT_EQ(import.result.ignored, 0u);
}

TEST(AdblockFormat, CarriageReturnsAreDroppedWhateverTheStream)
{
    const std::string lf = "[Adblock]\n|a|\n@@/b+/\nc\n";
    const std::string crlf = "[Adblock]\r\n|a|\r\n@@/b+/\r\nc\r\n";
    const std::string stray = "[Adb\rlock]\r\n|a|\r\r\n@@/b\r+/\nc";
    const CImport expected = Import(lf);
    EXPECT_EQ(expected.texts, (std::vector<std::wstring>{L"a", L"%/b+/", L"*c*"}));
    EXPECT_EQ(Import(crlf).texts, expected.texts);
    EXPECT_EQ(Import(stray).texts, expected.texts);
}

TEST(AdblockFormat, HeaderIsCheckedBeforeAnythingIsAdded)
{
    for (const char* file : {"[Adblock]", "[adblock]\n", "[Adblock Plus 2.0]\nx", "[ADBLOCK whatever]]\n",
                             "[Adblock]\r\n"})
        EXPECT_FALSE(RefusesHeader(file)) << file;
    for (const char* file : {"", "\n[Adblock]\n", "\xEF\xBB\xBF[Adblock]\nads\n", "[Adblock] \nads\n", "Adblock\n",
                             "[Adblock\nads]\n", "ads\n[Adblock]\n", " [Adblock]"})
        EXPECT_TRUE(RefusesHeader(file)) << testing::PrintToString(std::string(file));

    using namespace std::string_literals;
    EXPECT_TRUE(IsAdblockHeader("[Adblock\0"s + std::string(100, '\0') + "]"s));
    EXPECT_FALSE(IsAdblockHeader("[Adblock"));
    EXPECT_FALSE(IsAdblockHeader("[Adblock]\r"));
    EXPECT_FALSE(IsAdblockHeader("[Adbl0ck]"));
    EXPECT_TRUE(IsAdblockHeader("[aDbLoCk]"));

    // A file that is only the header adds nothing and is no error.
    const CImport import = Import("[Adblock]\r\n");
    EXPECT_TRUE(import.texts.empty());
    EXPECT_EQ(import.result.added + import.result.ignored + import.result.skipped, 0u);
}

// A list saved with CR-only line ends reads as one long first line. The
// header check runs inside the browser on a tab's thread: it must not need
// stack in proportion to the line.
TEST(AdblockFormat, AMegabyteFirstLineIsJudgedOnASmallStack)
{
    std::string body;
    for (int i = 0; body.size() < (1u << 20); ++i)
        body += "||ads" + std::to_string(i) + ".example.com^\r";
    RunOnSmallStack([&] {
        EXPECT_TRUE(RefusesHeader("[Adblock Plus 2.0]\r" + body + "\n"));
        EXPECT_TRUE(RefusesHeader("[Adblock" + body));
        const CImport import = Import("[Adblock" + body + "]\nads\n");
        EXPECT_EQ(import.texts, (std::vector<std::wstring>{L"*ads*"}));
    });
}

// Serves its text, then fails the next read the way the file stream does.
class CFailingReadBuf : public std::streambuf
{
public:
    explicit CFailingReadBuf(std::string text) : m_text(std::move(text)) {}

protected:
    int_type underflow() override
    {
        if (m_served || m_text.empty())
            throw CHResultException(HResultFromWin32(ERROR_NETNAME_DELETED));
        m_served = true;
        setg(&m_text[0], &m_text[0], &m_text[0] + m_text.size());
        return traits_type::to_int_type(m_text[0]);
    }

private:
    std::string m_text;
    bool m_served = false;
};

TEST(AdblockFormat, AReadThatFailsAfterTheHeaderIsAnErrorNotTheEnd)
{
    CFailingReadBuf buffer("[Adblock]\nfirst\nsecond");
    std::istream in(&buffer);
    std::vector<std::wstring> added;
    try {
        ReadAdblockList(in, [&](const std::wstring& text) { added.push_back(text); });
        FAIL() << "a cut-short list was reported as read";
    } catch (const CHResultException& e) {
        EXPECT_EQ(e.GetHResult(), HResultFromWin32(ERROR_NETNAME_DELETED));
    }
    EXPECT_EQ(added, std::vector<std::wstring>{L"*first*"});
    EXPECT_EQ(in.exceptions(), std::ios_base::goodbit);

    // A first line that cannot be read is a missing header.
    CFailingReadBuf nothing("");
    std::istream empty(&nothing);
    EXPECT_THROW(ReadAdblockList(empty, [](const std::wstring&) {}), int);
}

TEST(AdblockFormat, TimestampHasTheDocumentedShape)
{
    const std::string stamp = FormatExportTimestamp();
    EXPECT_EQ(stamp.size(), 25u);
    EXPECT_TRUE(std::regex_match(stamp, std::regex("\\d{4}-\\d{2}-\\d{2}T\\d{2}:\\d{2}:\\d{2}[+-]\\d{2}:\\d{2}")))
        << stamp;
    TIME_ZONE_INFORMATION zone{};
    const DWORD zoneId = GetTimeZoneInformation(&zone);
    EXPECT_EQ(stamp.substr(19), FormatUtcOffset(EffectiveUtcBias(zone, zoneId)));
}

TEST(AdblockFormat, UtcOffsetSignAndPadding)
{
    EXPECT_EQ(FormatUtcOffset(0), "+00:00");
    EXPECT_EQ(FormatUtcOffset(-120), "+02:00");
    EXPECT_EQ(FormatUtcOffset(300), "-05:00");
    EXPECT_EQ(FormatUtcOffset(-330), "+05:30");
    EXPECT_EQ(FormatUtcOffset(-345), "+05:45");
    EXPECT_EQ(FormatUtcOffset(210), "-03:30");
    EXPECT_EQ(FormatUtcOffset(-840), "+14:00");

    TIME_ZONE_INFORMATION berlin{};
    berlin.Bias = -60;
    berlin.StandardBias = 0;
    berlin.DaylightBias = -60;
    EXPECT_EQ(EffectiveUtcBias(berlin, TIME_ZONE_ID_STANDARD), -60);
    EXPECT_EQ(EffectiveUtcBias(berlin, TIME_ZONE_ID_DAYLIGHT), -120);
    EXPECT_EQ(EffectiveUtcBias(berlin, TIME_ZONE_ID_UNKNOWN), -60);
    EXPECT_EQ(FormatUtcOffset(EffectiveUtcBias(berlin, TIME_ZONE_ID_DAYLIGHT)), "+02:00");
    TIME_ZONE_INFORMATION newYork{};
    newYork.Bias = 300;
    newYork.DaylightBias = -60;
    EXPECT_EQ(FormatUtcOffset(EffectiveUtcBias(newYork, TIME_ZONE_ID_DAYLIGHT)), "-04:00");
}
