#include <gtest/gtest.h>

#include <windows.h>
#include <tlhelp32.h>

#include <cstring>
#include <functional>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "com/Handle.h"
#include "engine/FilterRule.h"
#include "engine/RegexSearch.h"
#include "tests/support/SmallStack.h"

namespace {

std::wstring Repeat(const std::wstring& unit, std::size_t count)
{
    std::wstring result;
    result.reserve(unit.size() * count);
    for (std::size_t i = 0; i < count; ++i)
        result += unit;
    return result;
}

// Runs `work` on a thread whose whole stack is committed and filled with a
// pattern, and returns how deep `work` wrote into it.
std::size_t MeasureStackUse(const std::function<void()>& work)
{
    struct CProbe
    {
        const std::function<void()>* work;
        std::size_t used;
        static DWORD WINAPI Thread(void* parameter)
        {
            auto* probe = static_cast<CProbe*>(parameter);
            char* top = static_cast<char*>(__builtin_frame_address(0)) - 4096;
            MEMORY_BASIC_INFORMATION info{};
            VirtualQuery(top, &info, sizeof info);
            char* bottom = static_cast<char*>(info.AllocationBase) + 64 * 1024;
            std::memset(bottom, 0xCD, static_cast<std::size_t>(top - bottom));
            (*probe->work)();
            char* p = bottom;
            while (p < top && static_cast<unsigned char>(*p) == 0xCD)
                ++p;
            probe->used = static_cast<std::size_t>(top - p) + 4096;
            return 0;
        }
    };
    CProbe probe{&work, 0};
    // No reservation flag: the whole stack is committed at once.
    CHandle thread(CreateThread(nullptr, 96u << 20, &CProbe::Thread, &probe, 0, nullptr));
    EXPECT_TRUE(thread);
    if (thread) {
        EXPECT_EQ(WaitForSingleObject(thread.Get(), 120000), WAIT_OBJECT_0);
    }
    return probe.used;
}

struct CRegexCase
{
    const wchar_t* body;
    const wchar_t* text;
    bool expected;
};

// Realistic filter expressions, with the answers ECMAScript gives.
const CRegexCase kRealistic[] = {
    {L"^https?:\\/\\/([a-z0-9-]+\\.)?doubleclick\\.net\\/", L"http://ad.doubleclick.net/adj/x", true},
    {L"^https?:\\/\\/([a-z0-9-]+\\.)?doubleclick\\.net\\/", L"https://doubleclick.net/", true},
    {L"^https?:\\/\\/([a-z0-9-]+\\.)?doubleclick\\.net\\/", L"http://doubleclick.net.example.com/", false},
    {L"^https?:\\/\\/([a-z0-9-]+\\.)?doubleclick\\.net\\/", L"http://x.com/?u=http://doubleclick.net/", false},
    {L"\\.(gif|jpe?g|png)$", L"http://x.com/a/b.jpeg", true},
    {L"\\.(gif|jpe?g|png)$", L"http://x.com/a/b.jpeg?x=1", false},
    {L"banner[0-9]+\\.gif", L"http://x.com/img/banner468.gif", true},
    {L"banner[0-9]+\\.gif", L"http://x.com/img/banner.gif", false},
    {L"[?&]utm_(source|medium)=", L"http://x.com/p?a=1&utm_medium=mail", true},
    {L"[?&]utm_(source|medium)=", L"http://x.com/utm_source=1", false},
    {L"\\/ads?\\/", L"http://x.com/ad/1.js", true},
    {L"\\/ads?\\/", L"http://x.com/adx/1.js", false},
    {L"^http:\\/\\/.*?\\/track", L"http://a.com/b/track.gif", true},
    {L"^http:\\/\\/.*?\\/track", L"https://a.com/b/track.gif", false},
    {L"^https?:\\/\\/(?!www\\.)[^\\/]+\\.example\\.com\\/", L"http://cdn.example.com/x", true},
    {L"^https?:\\/\\/(?!www\\.)[^\\/]+\\.example\\.com\\/", L"http://www.example.com/x", false},
    {L"^((?!(^https?):\\/\\/(ajax\\.googleapis\\.com|cdnjs\\.cloudflare\\.com)\\/).*)$",
     L"http://ajax.googleapis.com/jquery.js", false},
    {L"^((?!(^https?):\\/\\/(ajax\\.googleapis\\.com|cdnjs\\.cloudflare\\.com)\\/).*)$", L"http://evil.com/x.js",
     true},
    {L"\\/(?=[a-z]{3}\\/)\\w+\\/x", L"http://h/abc/x", true},
    {L"\\/(?=[a-z]{3}\\/)\\w+\\/x", L"http://h/abcd/x", false},
    {L"\\bads\\b", L"http://x.com/ads/1", true},
    {L"\\bads\\b", L"http://x.com/loads/1", false},
    {L"\\Bads", L"http://x.com/loads/1", true},
    {L"\\bhttp", L"http://x", true},
    {L"(\\d{1,3}\\.){3}\\d{1,3}", L"http://192.168.0.1/", true},
    {L"(\\d{1,3}\\.){3}\\d{1,3}", L"http://192.168.0/", false},
    {L"a|b", L"xbx", true},
    {L"a|b", L"xyz", false},
    {L"^a|b$", L"ax", true},
    {L"^a|b$", L"xa", false},
    {L"^a|b$", L"xb", true},
    {L"^a|b$", L"bx", false},
    {L"^http", L"xhttp", false},
    {L"com$", L"a.com", true},
    {L"com$", L"a.com/", false},
    {L"^$", L"", true},
    {L"^$", L"x", false},
    {L"", L"http://x/", true},
    {L"x*", L"", true},
    {L"[^\\/]+\\.js\\?v=[0-9a-f]{8,}$", L"http://x/y/app.js?v=deadbeef01", true},
    {L"[^\\/]+\\.js\\?v=[0-9a-f]{8,}$", L"http://x/y/app.js?v=dead", false},
    {L"(?:ad|banner)s?[-_]?[0-9]{2,4}x[0-9]{2,4}", L"http://x/banner_468x60.png", true},
    {L"(?:ad|banner)s?[-_]?[0-9]{2,4}x[0-9]{2,4}", L"http://x/banner_468.png", false},
    {L"^https?:\\/\\/[^\\/]*\\.(xyz|top|win)\\/[0-9]{2,9}\\/$", L"http://abc.win/12345/", true},
    {L"^https?:\\/\\/[^\\/]*\\.(xyz|top|win)\\/[0-9]{2,9}\\/$", L"http://abc.win/1/", false},
    // Back-references that take part.
    {L"^https?:\\/\\/([a-z]+)\\.\\1\\.com", L"http://abc.abc.com/", true},
    {L"^https?:\\/\\/([a-z]+)\\.\\1\\.com", L"http://abc.abd.com/", false},
    {L"(\\w)\\1{3}", L"http://x/aaaa", true},
    {L"(\\w)\\1{3}", L"http://x/aaab", false},
};

} // namespace

TEST(RegexSearch, RealisticFiltersGiveEcmaScriptAnswersWithEitherMatcher)
{
    for (const CRegexCase& c : kRealistic) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.body)) + " on " + testing::PrintToString(std::wstring(c.text)));
        CRegexSearchReport report;
        EXPECT_EQ(SearchRegex(c.body, c.text, &report), c.expected);
        EXPECT_FALSE(report.tooComplex);
        EXPECT_FALSE(report.automaton) << "ordinary searches are answered by backtracking";
        EXPECT_FALSE(report.worker);
        EXPECT_EQ(SearchRegex(c.body, c.text, &report, CRegexMatcher::Backtracking), c.expected);
        if (!MeasureRegexShape(c.body).backReference) {
            EXPECT_EQ(SearchRegex(c.body, c.text, &report, CRegexMatcher::Automaton), c.expected);
            EXPECT_TRUE(report.automaton);
            EXPECT_FALSE(report.tooComplex);
        }
    }
}

TEST(RegexSearch, CatastrophicPatternsOnLongUrlsAnswerOnASmallStack)
{
    const std::wstring as(2083, L'a');
    const std::wstring asEndingX = std::wstring(2082, L'a') + L"x";
    const std::wstring asEndingB = std::wstring(2082, L'a') + L"b";
    const std::wstring abs = Repeat(L"ab", 1041) + L"a";
    const std::wstring absEndingC = Repeat(L"ab", 1041) + L"c";
    struct Case
    {
        const wchar_t* body;
        const std::wstring& text;
        bool expected;
    };
    const Case cases[] = {
        {L"(a|b)*c", abs, false},
        {L"(a|b)*c", absEndingC, true},
        {L"(.*)*x", as, false},
        {L"(.*)*x", asEndingX, true},
        {L"((a+)+)+b", as, false},
        {L"((a+)+)+b", asEndingB, true},
        {L"(a?){30}a{30}", as, true},
        {L"(a?){30}a{30}", asEndingB, true},
        {L"(x+x+)+y", as, false},
        {L"^(([a-z])+.)+[A-Z]([a-z])+$", as, false},
        {L"(a|aa)+$", as, true},
        {L"(a|aa)+$", asEndingB, false},
    };
    RunOnSmallStack([&] {
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::PrintToString(std::wstring(c.body)) + " on " + std::to_string(c.text.size()) +
                         " characters ending in " + static_cast<char>(c.text.back()));
            ASSERT_EQ(c.text.size(), 2083u);
            const DWORD start = GetTickCount();
            CRegexSearchReport report;
            EXPECT_EQ(SearchRegex(c.body, c.text, &report), c.expected);
            EXPECT_FALSE(report.tooComplex);
            EXPECT_FALSE(report.worker) << "short bodies run on the caller's thread, even on a small stack";
            EXPECT_LT(GetTickCount() - start, 5000u);  // unguarded, this runs for hours
        }
    });
}

TEST(RegexSearch, ExponentialBacktrackingIsAnsweredByTheAutomaton)
{
    // 2^30 paths for backtracking; the automaton needs a few thousand steps.
    const std::wstring body = L"(a?){30}a{30}";
    CRegexSearchReport report;
    EXPECT_TRUE(SearchRegex(body, std::wstring(30, L'a'), &report));
    EXPECT_TRUE(report.automaton);
    EXPECT_FALSE(report.tooComplex);
    EXPECT_FALSE(SearchRegex(body, std::wstring(29, L'a'), &report));
    EXPECT_FALSE(report.tooComplex);

    // Backtracking alone gives up instead of running for hours.
    const DWORD start = GetTickCount();
    EXPECT_FALSE(SearchRegex(body, std::wstring(29, L'a'), &report, CRegexMatcher::Backtracking));
    EXPECT_TRUE(report.tooComplex);
    EXPECT_LT(GetTickCount() - start, 5000u);  // unguarded, this runs for hours
}

TEST(RegexSearch, BackReferencesThatExplodeAreTooComplexNotAHang)
{
    // Only backtracking can follow a back-reference, so this one has no
    // automaton to fall back to.
    const std::wstring body = L"(a*)*b\\1";
    const DWORD start = GetTickCount();
    CRegexSearchReport report;
    RunOnSmallStack([&] { EXPECT_FALSE(SearchRegex(body, std::wstring(2083, L'a'), &report)); });
    EXPECT_TRUE(report.tooComplex);
    EXPECT_LT(GetTickCount() - start, 5000u);
}

TEST(RegexSearch, HugeBodiesRunOnAWorkerStack)
{
    // 59999 units: 29999 nested groups around one "a". The compiler recurses
    // per group, far deeper than a 256 KiB stack allows.
    const std::wstring nested = Repeat(L"(", 29999) + L"a" + Repeat(L")", 29999);
    const std::wstring unclosed(60000, L'(');
    const std::wstring alternatives = Repeat(L"b|", 2000) + L"a";
    const std::wstring emptyChoices = L"(?:|){500}x";
    RunOnSmallStack([&] {
        CRegexSearchReport report;
        EXPECT_TRUE(SearchRegex(nested, L"http://x/a", &report));
        EXPECT_TRUE(report.worker);
        EXPECT_FALSE(SearchRegex(nested, L"http://x/", &report));
        EXPECT_FALSE(report.tooComplex);

        EXPECT_FALSE(SearchRegex(unclosed, L"http://x/", &report));
        EXPECT_FALSE(report.tooComplex) << "an invalid body is simply no match";

        // Chains of alternatives touch no iterator; the estimate moves them
        // to a worker before they can recurse out of the stack.
        EXPECT_TRUE(SearchRegex(alternatives, L"http://a/", &report));
        EXPECT_TRUE(report.worker);
        EXPECT_FALSE(SearchRegex(alternatives, L"http://c/", &report));
        EXPECT_FALSE(report.tooComplex);
        EXPECT_TRUE(SearchRegex(emptyChoices, L"http://x/", &report));
        EXPECT_TRUE(report.worker);
        EXPECT_FALSE(SearchRegex(emptyChoices, L"http://y/", &report));
        EXPECT_FALSE(report.tooComplex);

        EXPECT_EQ(CheckRegexSyntax(nested), -1);
        EXPECT_EQ(CheckRegexSyntax(unclosed), std::regex_constants::error_paren);
        EXPECT_EQ(CheckRegexSyntax(alternatives), -1);
    });
}

TEST(RegexSearch, BodiesThatMatchTheEmptyStringMatchEveryTextUnsearched)
{
    // Each body against texts where the library's own search may say no:
    // a body wrongly taken to match everything shows as a match it has not.
    struct Case
    {
        const wchar_t* body;
        bool everything;
    };
    const Case cases[] = {
        {L"", true},
        {L"a*", true},
        {L"a?b*", true},
        {L"[^/?&=]*?", true},
        {L"(?:ab|c)*", true},
        {L"(a|)", true},
        {L"(?:)", true},
        {L"a|b*", true},
        {L"(?:a+|b?)", true},
        {L"a{0}", true},
        {L"a{0,3}", true},
        {L"(?:ab){0,}", true},
        {L"\\.*", true},
        {L"(?:a*)+", true},
        {L"((a)*b?)*", true},
        // Look alike, but need a character, or assert something.
        {L"a+?", false},
        {L"a+", false},
        {L"a*b", false},
        {L"(?:a*)+b", false},
        {L"a|b", false},
        {L"(?:a|b)c*", false},
        {L"a{1}?", false},
        {L"a{1,}", false},
        {L"a{10}", false},
        {L"[*]", false},
        {L"\\**\\.", false},
        {L"\\?", false},
        {L"a*(b)", false},
        {L"^a*", false},
        {L"a*$", false},
        {L"a*\\b", false},
        {L"\\Ba*", false},
        {L"(?=x)a*", false},
        {L"(?!x)a*", false},
        {L"(a*)\\1", false},
        {L"a*)", false},
        {L"(a*", false},
        {L"*a", false},
    };
    const wchar_t* texts[] = {L"", L"x", L"ab", L"http://example.com/ads/?q=1"};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.body)));
        EXPECT_EQ(RegexMatchesEverything(c.body), c.everything);
        std::unique_ptr<std::wregex> reference;
        try {
            reference = std::make_unique<std::wregex>(c.body, std::regex_constants::ECMAScript);
        } catch (const std::regex_error&) {
        }
        const CCompiledRegex compiled(c.body);
        for (const wchar_t* text : texts) {
            SCOPED_TRACE(testing::PrintToString(std::wstring(text)));
            const bool expected = reference && std::regex_search(text, *reference);
            CRegexSearchReport report;
            EXPECT_EQ(compiled.Search(text, &report), expected);
            EXPECT_EQ(SearchRegex(c.body, text), expected);
            if (c.everything) {
                EXPECT_TRUE(report.unsearched);
            }
        }
    }

    // Thousands of optional classes: without the shortcut each search walks
    // them all, on a worker's stack.
    auto optionalClasses = [](std::size_t units) {
        std::wstring body;
        for (int i = 0; body.size() + 9 <= units; ++i)
            body += i % 3 ? L"[a-z0-9]*" : L"[^/?&=]*";
        return body;
    };
    const std::wstring hostile = optionalClasses(60000);
    RunOnSmallStack([&] {
        const CCompiledRegex compiled(hostile);
        CRegexSearchReport report;
        EXPECT_TRUE(compiled.Search(L"http://example.com/", &report));
        EXPECT_TRUE(report.unsearched);
        EXPECT_FALSE(report.automaton);
        // One class that must be there makes it an ordinary search.
        const CCompiledRegex needsHash(optionalClasses(900) + L"#");
        EXPECT_TRUE(needsHash.Search(L"http://example.com/#top", &report));
        EXPECT_FALSE(report.unsearched);
        EXPECT_FALSE(needsHash.Search(L"http://example.com/", &report));
        EXPECT_FALSE(report.unsearched);
    });
    // A body that does not compile matches nothing, whatever its form.
    EXPECT_FALSE(CCompiledRegex(L"a*[").Search(L"x"));
    // The matchers compared with each other search for themselves.
    CRegexSearchReport report;
    EXPECT_TRUE(SearchRegex(L"a*", L"x", &report, CRegexMatcher::Backtracking));
    EXPECT_FALSE(report.unsearched);
}

namespace {

std::size_t ThreadsOfThisProcess()
{
    CFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    if (!snapshot) {
        ADD_FAILURE() << "no thread snapshot";
        return 0;
    }
    std::size_t count = 0;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot.Get(), &entry); more; more = Thread32Next(snapshot.Get(), &entry))
        count += entry.th32OwnerProcessID == GetCurrentProcessId();
    return count;
}

} // namespace

TEST(RegexSearch, WorkersAreKeptForTheNextSearch)
{
    // Deeply nested groups: compiling and searching both need a worker.
    const std::wstring nested = Repeat(L"(", 5000) + L"a" + Repeat(L")", 5000);
    const CCompiledRegex compiled(nested);
    RunOnSmallStack([&] {
        CRegexSearchReport report;
        EXPECT_TRUE(compiled.Search(L"http://x/a", &report));
        EXPECT_TRUE(report.worker);
    });
    const std::size_t threads = ThreadsOfThisProcess();
    RunOnSmallStack([&] {
        for (int i = 0; i < 20; ++i) {
            CRegexSearchReport report;
            EXPECT_EQ(compiled.Search(i % 2 ? L"http://x/a" : L"http://x/", &report), i % 2 == 1);
            EXPECT_TRUE(report.worker);
        }
    });
    // Workers idle since earlier tests may have ended meanwhile.
    EXPECT_LE(ThreadsOfThisProcess(), threads) << "each search started a worker of its own";

    // Callers at once each get a worker of their own, and their own answer.
    std::vector<std::thread> callers;
    std::vector<int> wrong(4, 0);
    for (int t = 0; t < 4; ++t) {
        callers.emplace_back([&, t] {
            RunOnSmallStack([&] {
                for (int i = 0; i < 10; ++i) {
                    const bool expected = (i + t) % 2 == 1;
                    wrong[t] += compiled.Search(expected ? L"http://x/a" : L"http://x/") != expected;
                }
            });
        });
    }
    for (std::thread& caller : callers)
        caller.join();
    EXPECT_EQ(wrong, std::vector<int>(4, 0));
}

TEST(RegexSearch, BodiesTooSlowToCompileAreRefusedAtOnce)
{
    // The compiler's clean-up is quadratic in chained alternatives and nested
    // non-capturing groups: 20000 alternatives take seconds, 65535 minutes.
    const std::wstring bodies[] = {
        Repeat(L"b|", 20000) + L"a",
        std::wstring(65535, L'|'),
        Repeat(L"(?:", 16000) + L"a" + Repeat(L")", 16000),
        L"(?:(?:|){40}|c){100}x",
    };
    for (const std::wstring& body : bodies) {
        SCOPED_TRACE(testing::PrintToString(body.substr(0, 12)) + "... " + std::to_string(body.size()));
        const DWORD start = GetTickCount();
        CRegexSearchReport report;
        EXPECT_FALSE(SearchRegex(body, L"http://a/b/c/x", &report));
        EXPECT_TRUE(report.tooComplex);
        EXPECT_EQ(CheckRegexSyntax(body), std::regex_constants::error_complexity);
        EXPECT_LT(GetTickCount() - start, 2000u);  // a hang, not a slow machine, fails this
    }
}

TEST(RegexSearch, MaximalStoredBodiesFinish)
{
    // The largest body a record can hold, in shapes that stress the compiler,
    // the automaton's size limit and the matchers.
    const std::wstring url = L"http://example.com/" + std::wstring(2064, L'a');
    ASSERT_EQ(url.size(), 2083u);
    const std::wstring bodies[] = {
        std::wstring(65535, L'a'),
        Repeat(L"a?", 32767) + L"b",
        Repeat(L"(?=", 21845),
        Repeat(L"(?=a", 13107) + Repeat(L")", 13107),
        Repeat(L"(a|", 16383) + Repeat(L")", 16383),
        L"(a{1000}){1000}",
        Repeat(L"[a-z]*", 10922),
        Repeat(L"(a*)*", 13107),
    };
    for (const std::wstring& body : bodies) {
        ASSERT_LE(body.size(), kMaxFilterBodyLength);
        SCOPED_TRACE(testing::PrintToString(body.substr(0, 24)) + "... " + std::to_string(body.size()));
        const DWORD start = GetTickCount();
        RunOnSmallStack([&] {
            SearchRegex(body, url);
            // Bodies that match everything are answered without a search;
            // the matchers must still finish on them.
            if (RegexMatchesEverything(body)) {
                SearchRegex(body, url, nullptr, CRegexMatcher::Backtracking);
                SearchRegex(body, url, nullptr, CRegexMatcher::Automaton);
            }
        });
        CheckRegexSyntax(body);
        EXPECT_LT(GetTickCount() - start, 10000u);
    }
}

TEST(RegexSearch, ShapeScanFollowsTheLibrarysTokens)
{
    CRegexShape shape = MeasureRegexShape(L"a|b|c");
    EXPECT_EQ(shape.alternatives, 2u);
    EXPECT_EQ(shape.groups, 0u);

    // {n,m} copies what it follows; the original stays too.
    EXPECT_EQ(MeasureRegexShape(L"(a|b){10}").alternatives, 11u);
    EXPECT_EQ(MeasureRegexShape(L"(a|b){2,5}").alternatives, 6u);
    EXPECT_EQ(MeasureRegexShape(L"(a|b){3,}").alternatives, 5u);
    EXPECT_EQ(MeasureRegexShape(L"((a|b){3}){3}").alternatives, 16u);
    EXPECT_EQ(MeasureRegexShape(L"(a|b)*{3}").alternatives, 4u);
    EXPECT_EQ(MeasureRegexShape(L"(a|b)c{100}").alternatives, 1u);

    // Escaped and bracketed characters are no structure.
    shape = MeasureRegexShape(L"\\(\\|[(|{]\\)[[:alpha:]|]");
    EXPECT_EQ(shape.alternatives, 0u);
    EXPECT_EQ(shape.groups, 0u);
    EXPECT_EQ(MeasureRegexShape(L"[\\]|(]|x").alternatives, 1u);

    shape = MeasureRegexShape(L"(?=a)(?!b)(?:c)(d)");
    EXPECT_EQ(shape.groups, 4u);
    EXPECT_EQ(shape.lookaheads, 2u);
    EXPECT_TRUE(MeasureRegexShape(L"(a)\\1").backReference);
    EXPECT_FALSE(MeasureRegexShape(L"[\\1]\\0\\\\1").backReference);

    // An unbalanced body cannot be estimated; the answer must be the worst.
    EXPECT_GE(MeasureRegexShape(L"a)|(b").alternatives, 100000u);
}

TEST(RegexSearch, StackEstimateCoversWhatTheLibraryUses)
{
    // The inline-or-worker decision rests on these estimates: measure the
    // compiler and the alternative chains for shapes that recurse the most.
    const std::wstring shapes[] = {
        std::wstring(6000, L'a'),
        std::wstring(3000, L'('),
        Repeat(L"(?:", 1000),
        Repeat(L"(?=", 1000),
        Repeat(L"(a|", 1000),
        Repeat(L"\\(", 2000),
        Repeat(L"[ab]", 1000),
        Repeat(L"a{2}", 1000),
        Repeat(L"(a)", 1000),
        Repeat(L"((a)|b)?", 500),
    };
    for (const std::wstring& body : shapes) {
        SCOPED_TRACE(testing::PrintToString(body.substr(0, 12)) + "... " + std::to_string(body.size()));
        const std::size_t used = MeasureStackUse([&] { CheckRegexSyntax(body); });
        EXPECT_LT(used, RegexCompileStackNeed(MeasureRegexShape(body)));
    }

    const std::wstring chains[] = {
        Repeat(L"a|", 2000) + L"b",
        L"(?:|){1000}x",
        L"(?:(?:|){10}|c){40}x",
        L"(?:(?:(?:(?:(?:(?:a|b)|c)|d)|e)|f)|g){100}x",
    };
    for (const std::wstring& body : chains) {
        SCOPED_TRACE(testing::PrintToString(body.substr(0, 12)) + "... " + std::to_string(body.size()));
        const CRegexShape shape = MeasureRegexShape(body);
        for (CRegexMatcher matcher : {CRegexMatcher::Backtracking, CRegexMatcher::Automaton}) {
            CRegexSearchReport report;
            const std::size_t used = MeasureStackUse([&] { SearchRegex(body, L"y", &report, matcher); });
            if (matcher == CRegexMatcher::Automaton) {
                EXPECT_FALSE(report.tooComplex);
            }
            EXPECT_LT(used, RegexCompileStackNeed(shape) + RegexSearchStackReserve(shape));
        }
    }
}

TEST(RegexSearch, RemainingStackShrinksWithDepth)
{
    const std::size_t outer = RemainingStack();
    const std::size_t inner = [] {
        volatile char block[8192];
        block[0] = 1;
        return RemainingStack() + block[0] - 1;
    }();
    EXPECT_GT(outer, 64u * 1024);
    EXPECT_LT(inner + 8192, outer);
}
