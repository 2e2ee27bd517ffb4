#include <gtest/gtest.h>

#include <cstring>
#include <cwchar>
#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine/FilterIndex.h"
#include "engine/FilterRule.h"
#include "engine/RegexSearch.h"

namespace {

// A list as storage.bin holds it, and the walk's verdict over it.
class CList
{
public:
    void Add(const std::wstring& body, bool isException, bool isRegex)
    {
        const std::size_t offset = m_bytes.size();
        m_bytes.resize(offset + FilterRecordSize(body.size()));
        BYTE* record = m_bytes.data() + offset;
        record[0] = isRegex ? 1 : 0;
        record[1] = isException ? 1 : 0;
        const WORD length = static_cast<WORD>(body.size());
        std::memcpy(record + 2, &length, sizeof length);
        std::memcpy(record + 4, body.data(), body.size() * sizeof(wchar_t));
        m_offsets.push_back(offset);
    }
    void AddText(const std::wstring& text)
    {
        FilterRule* rule = nullptr;
        ASSERT_TRUE(ParseFilter(text.c_str(), &rule));
        CFilterRulePtr owned(rule);
        Add(std::wstring(rule->body, rule->length), rule->isException, rule->isRegex);
    }

    std::vector<const FilterRule*> Records() const
    {
        std::vector<const FilterRule*> records;
        for (std::size_t offset : m_offsets)
            records.push_back(reinterpret_cast<const FilterRule*>(m_bytes.data() + offset));
        return records;
    }
    const BYTE* Bytes() const { return m_bytes.data(); }
    DWORD Size() const { return static_cast<DWORD>(m_bytes.size()); }
    std::size_t Count() const { return m_offsets.size(); }

    // What the list walk answers: an exception that matches allows at once,
    // a block record that matches blocks unless a later exception matches.
    bool WalkAllows(const wchar_t* url) const
    {
        bool allowed = true;
        for (const FilterRule* rule : Records()) {
            if (!MatchFilter(*rule, url))
                continue;
            if (rule->isException)
                return true;
            allowed = false;
        }
        return allowed;
    }

    std::vector<BYTE> BuildImage(DWORD generation = 7) const
    {
        return BuildFilterIndex(Bytes(), Size(), Records(), generation);
    }

private:
    std::vector<BYTE> m_bytes;
    std::vector<std::size_t> m_offsets;
};

// The index reads the image in place: the image must outlive it.
std::unique_ptr<CFilterIndex> OpenImage(const std::vector<BYTE>& image)
{
    return CFilterIndex::Open(image.data(), image.size());
}
std::unique_ptr<CFilterIndex> OpenImage(std::vector<BYTE>&&) = delete;

// Random lists and URLs over an alphabet in which matches are frequent:
// letters in both cases, the wildcard and URL punctuation, characters that
// fold (or do not) and whose low bytes collide.
class CGenerator
{
public:
    explicit CGenerator(unsigned seed) : m_random(seed) {}

    std::size_t Below(std::size_t n) { return n ? m_random() % n : 0; }
    bool OneIn(std::size_t n) { return Below(n) == 0; }

    wchar_t Character()
    {
        static const wchar_t kAlphabet[] = L"abcdeABCDE01/.-_=?&:%|^";
        static const wchar_t kRare[] = {0x00E9, 0x00C9, 0x01E9, 0x0130, 0x212A, 0xFF41, 0x0041 + 0x100, L'\\', L'*'};
        if (OneIn(12))
            return kRare[Below(sizeof kRare / sizeof kRare[0])];
        return kAlphabet[Below(sizeof kAlphabet / sizeof kAlphabet[0] - 1)];
    }
    std::wstring Text(std::size_t maxLength)
    {
        std::wstring text(Below(maxLength + 1), L' ');
        for (wchar_t& c : text)
            c = Character();
        return text;
    }

    std::wstring Wildcard()
    {
        std::wstring body;
        const std::size_t pieces = Below(6);
        if (!OneIn(3))
            body += L'*';
        for (std::size_t i = 0; i < pieces; ++i) {
            switch (Below(8)) {
            case 0: body += L'*'; break;
            case 1: body += L'?'; break;
            case 2: body += L'\\'; body += OneIn(2) ? L'*' : (OneIn(2) ? L'?' : Character()); break;
            default: body += Text(7); break;
            }
        }
        if (!OneIn(3))
            body += L'*';
        if (OneIn(40))
            body += L'\\';  // a trailing escape, which only import can store
        return body;
    }

    // A regular expression, and in *sample a text that likely holds a match
    // of it (each atom's own sample, in order).
    std::wstring Regex(std::wstring* sample = nullptr)
    {
        struct CAtom
        {
            const wchar_t* body;
            const wchar_t* sample;
        };
        static const CAtom kAtoms[] = {
            {L"ab", L"ab"},     {L"\\.", L"."},         {L"\\/", L"/"},      {L"[a-c]+", L"ca"}, {L"(?:ab|cd)", L"cd"},
            {L"\\d*", L"1"},    {L".", L"e"},           {L"(ab)?", L"ab"},   {L"A", L"A"},       {L"b{1,2}", L"bb"},
            {L"(?=a)", L""},    {L"\\bab", L"ab"},      {L"e+", L"ee"},      {L"[^/]*", L"x"},   {L"0", L"0"},
            {L"x?", L""},       {L"(a|b)\\1", L"bb"},   {L"\\=", L"="},      {L"abcd", L"abcd"}, {L"\\-ab_", L"-ab_"},
            {L"cd/e", L"cd/e"}, {L"(", L""},            {L"[", L""},         {L"\\u0041", L"A"}};
        std::wstring body, text;
        if (OneIn(4))
            body += L'^';
        const std::size_t count = 1 + Below(5);
        for (std::size_t i = 0; i < count; ++i) {
            if (OneIn(3)) {
                Escape(body, text);
            } else {
                const CAtom& atom = kAtoms[Below(sizeof kAtoms / sizeof kAtoms[0])];
                body += atom.body;
                text += atom.sample;
            }
            if (OneIn(12))
                body += L'|';
        }
        if (OneIn(4))
            body += L'$';
        if (sample)
            *sample = text;
        return body;
    }

    // Every form of escape the grammar gives a character with, some followed
    // by characters that could be read as part of it.
    void Escape(std::wstring& body, std::wstring& text)
    {
        static const wchar_t kHex[] = L"0123456789abcdefABCDEF";
        wchar_t c = Character();
        wchar_t buffer[16];
        switch (Below(7)) {
        case 0:  // \xHH
            c = static_cast<wchar_t>(c & 0xFF);
            swprintf(buffer, 16, OneIn(2) ? L"\\x%02X" : L"\\x%02x", static_cast<unsigned>(c));
            body += buffer;
            text += c;
            break;
        case 1:  // \uHHHH
            swprintf(buffer, 16, OneIn(2) ? L"\\u%04X" : L"\\u%04x", static_cast<unsigned>(c));
            body += buffer;
            text += c;
            break;
        case 2:  // \cX: a control character, never in a URL
            body += L"\\c";
            body += static_cast<wchar_t>(L'A' + Below(26));
            break;
        case 3:  // control escapes
            body += OneIn(2) ? L"\\t" : L"\\0";
            break;
        case 4: {  // punctuation escaped for itself
            static const wchar_t kPunctuation[] = L"./-?*+()[]{}|^$=&:,;!@#%~_";
            c = kPunctuation[Below(sizeof kPunctuation / sizeof kPunctuation[0] - 1)];
            body += L'\\';
            body += c;
            text += c;
            break;
        }
        case 5:  // a class, not a character
            body += OneIn(2) ? L"\\w" : L"\\S";
            text += L'a';
            break;
        default:  // hex digits right after an escape that takes none
            body += L"\\/";
            body += kHex[Below(22)];
            body += kHex[Below(22)];
            text += L'/';
            text += body[body.size() - 2];
            text += body[body.size() - 1];
            break;
        }
    }

    // A URL that a wildcard body likely matches: its stars and question
    // marks filled in, its escapes resolved, its letters' case changed.
    std::wstring Instance(const std::wstring& body)
    {
        std::wstring url;
        for (std::size_t i = 0; i < body.size(); ++i) {
            wchar_t c = body[i];
            if (c == L'*') {
                url += Text(4);
            } else if (c == L'?') {
                url += Character();
            } else {
                if (c == L'\\' && i + 1 < body.size())
                    c = body[++i];
                if (OneIn(3) && ((c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z')))
                    c ^= 0x20;
                url += c;
            }
        }
        if (OneIn(4) && !url.empty())
            url[Below(url.size())] = Character();
        return url;
    }

private:
    std::mt19937 m_random;
};

}  // namespace

// The index gives the walk's verdict on generated lists (wildcards with
// stars, question marks, escapes, anchors, case, non-ASCII; regular
// expressions; exceptions; duplicates; bodies cut short by a zero unit;
// records of every length) and URLs made to match them.
TEST(FilterIndex, AgreesWithTheListWalkOnGeneratedListsAndUrls)
{
    CGenerator generate(20240601);
    std::size_t urlsJudged = 0, blocked = 0;
    for (int round = 0; round < 60; ++round) {
        CList list;
        std::vector<std::wstring> bodies, regexSamples;
        const std::size_t count = generate.Below(120);
        for (std::size_t i = 0; i < count; ++i) {
            const bool isException = generate.OneIn(5);
            if (!bodies.empty() && generate.OneIn(15)) {
                list.Add(bodies[generate.Below(bodies.size())], isException, false);  // a duplicate
            } else if (generate.OneIn(8)) {
                std::wstring sample;
                list.Add(generate.Regex(&sample), isException, true);
                regexSamples.push_back(L"http://x/" + sample + generate.Text(3));
            } else {
                std::wstring body = generate.Wildcard();
                if (generate.OneIn(30))
                    body.insert(generate.Below(body.size() + 1), 1, L'\0');  // the matchers stop there
                bodies.push_back(body);
                list.Add(body, isException, false);
            }
        }
        const std::vector<BYTE> image = list.BuildImage();
        const auto index = OpenImage(image);
        ASSERT_TRUE(index);
        EXPECT_EQ(index->GetListSize(), list.Size());
        EXPECT_EQ(std::memcmp(index->GetList(), list.Bytes(), list.Size()), 0);

        std::vector<std::wstring> urls;
        for (const std::wstring& body : bodies)
            urls.push_back(generate.Instance(body));
        urls.insert(urls.end(), regexSamples.begin(), regexSamples.end());
        for (int i = 0; i < 100; ++i)
            urls.push_back(generate.Text(1 + generate.Below(30)));
        urls.push_back(L"");
        urls.push_back(L"a");
        for (const std::wstring& url : urls) {
            const bool walk = list.WalkAllows(url.c_str());
            ASSERT_EQ(index->IsAllowed(url.c_str()), std::optional<bool>(walk))
                << "round " << round << " url " << testing::PrintToString(url);
            ++urlsJudged;
            blocked += !walk;
        }
    }
    // The generated cases do exercise both answers.
    EXPECT_GT(blocked, urlsJudged / 10);
    EXPECT_LT(blocked, urlsJudged - urlsJudged / 10);
}

// A regular expression's escapes give the index the characters the search
// needs: a character written as \\x or \\u is that character, not its digits.
TEST(FilterIndex, EscapedCharactersInRegularExpressionsAreFiledAsThemselves)
{
    CList list;
    for (const wchar_t* text : {L"/\\x2Fbanner\\x2F/", L"/\\x41BCDEFGHIJ/", L"/\\u0041dvertsXYZ1/", L"/\\cJtracker1234/"})
        list.AddText(text);
    const std::vector<BYTE> image = list.BuildImage();
    const auto index = OpenImage(image);
    ASSERT_TRUE(index);
    for (const wchar_t* url : {L"http://www.example.org/banner/top.png", L"http://www.example.org/ABCDEFGHIJ",
                               L"http://www.example.org/AdvertsXYZ1", L"http://www.example.org/tracker1234"}) {
        EXPECT_EQ(index->IsAllowed(url), list.WalkAllows(url)) << testing::PrintToString(std::wstring(url));
    }
    using Runs = std::vector<std::wstring>;
    EXPECT_EQ(RegexRequiredLiterals(L"\\x2Fbanner\\x2F"), Runs{L"/banner/"});
    EXPECT_EQ(RegexRequiredLiterals(L"a\\cJbc\\12x"), (Runs{L"a", L"bc", L"x"}));
    EXPECT_EQ(RegexMinimumLength(L"\\u0041\\x41"), 2u);
}

TEST(FilterIndex, HandlesEveryKindOfKeyAndRecordsWithoutOne)
{
    CList list;
    const wchar_t* const texts[] = {
        L"*/banner/*",          // a piece anywhere
        L"http://ads.*",        // a start that is every URL's: filed elsewhere
        L"|evil.com^*",         // anchored start that no URL has
        L"*.swf",               // anchored end
        L"ab",                  // whole URL, short
        L"*a?c*",               // no piece of 4: checked for every URL
        L"*",                   // matches everything but is overruled below
        L"%*/allowed/*",        // an exception filed under a piece
        L"%/^https:\\/\\/safe\\.example\\//",  // an exception found by its literal
        L"/track(ing)?\\.gif/", // a regular expression with a literal
        L"/^[0-9]+$/",          // one without: checked for every URL
        L"%?",                  // an exception for one-character URLs
    };
    for (const wchar_t* text : texts)
        list.AddText(text);
    const auto image = list.BuildImage();
    const auto index = OpenImage(image);
    ASSERT_TRUE(index);
    const wchar_t* const urls[] = {
        L"http://x.com/banner/1.gif", L"http://ads.example.com/", L"|evil.com^x",       L"http://x/movie.SWF",
        L"AB",                        L"http://x/abc",            L"http://x/allowed/", L"https://safe.example/x",
        L"http://x/tracking.gif",     L"12345",                   L"7",                 L"",
        L"http://x/clean",
    };
    for (const wchar_t* url : urls)
        EXPECT_EQ(index->IsAllowed(url), list.WalkAllows(url)) << testing::PrintToString(std::wstring(url));
    // "*" blocks all that no exception allows.
    EXPECT_EQ(index->IsAllowed(L"http://x/clean"), false);
    EXPECT_EQ(index->IsAllowed(L"http://x/allowed/"), true);
}

TEST(FilterIndex, AnEmptyListAllowsEverything)
{
    CList list;
    const auto image = list.BuildImage();
    const auto index = OpenImage(image);
    ASSERT_TRUE(index);
    EXPECT_EQ(index->IsAllowed(L"http://x/"), true);
    EXPECT_EQ(index->GetListSize(), 0u);
}

TEST(FilterIndex, LongRecordsAndLongUrls)
{
    CList list;
    std::wstring longLiteral(65535, L'a');
    list.Add(longLiteral, false, false);
    list.Add(L"*" + std::wstring(3000, L'b') + L"*", false, false);
    list.Add(std::wstring(65533, L'c') + L"*", true, false);
    const auto image = list.BuildImage();
    const auto index = OpenImage(image);
    ASSERT_TRUE(index);
    for (const std::wstring& url : {std::wstring(65535, L'A'), L"x" + std::wstring(3000, L'B') + L"y",
                                    std::wstring(2083, L'b'), std::wstring(65534, L'C') + L"b" + std::wstring(3000, L'b')})
        EXPECT_EQ(index->IsAllowed(url.c_str()), list.WalkAllows(url.c_str()));
}

// Regular expressions are compiled once per index, and a search that cannot
// complete within the limits is no match, as in the walk.
TEST(FilterIndex, RegularExpressionsAreCompiledOnceAndStayBounded)
{
    CList list;
    list.Add(L"(a|aa)+$", false, true);
    list.Add(L"(a*)*b\\1", false, true);
    list.Add(std::wstring(30000, L'('), false, true);  // does not compile
    const auto image = list.BuildImage();
    const auto index = OpenImage(image);
    ASSERT_TRUE(index);
    const std::wstring urls[] = {std::wstring(2083, L'a'), L"b", L"ab", L"http://x/"};
    const DWORD start = GetTickCount();
    for (int i = 0; i < 3; ++i) {
        for (const std::wstring& url : urls)
            EXPECT_EQ(index->IsAllowed(url.c_str()), list.WalkAllows(url.c_str())) << url.size();
    }
    EXPECT_LT(GetTickCount() - start, 30000u);
}

TEST(FilterIndex, RequiredLiteralsOfRegularExpressions)
{
    using Runs = std::vector<std::wstring>;
    EXPECT_EQ(RegexRequiredLiterals(L"banner[0-9]+\\.gif"), (Runs{L"banner", L".gif"}));
    EXPECT_EQ(RegexRequiredLiterals(L"^https?:\\/\\/ads\\."), (Runs{L"http", L"://ads."}));
    EXPECT_EQ(RegexRequiredLiterals(L"abc+d"), (Runs{L"abc", L"d"}));
    EXPECT_EQ(RegexRequiredLiterals(L"ab{2}c"), (Runs{L"a", L"c"}));
    EXPECT_EQ(RegexRequiredLiterals(L"x(?:ab|cd)y*z"), (Runs{L"x", L"z"}));
    EXPECT_EQ(RegexRequiredLiterals(L"ads|track"), Runs{});
    EXPECT_EQ(RegexRequiredLiterals(L"a\\dbc\\wde"), (Runs{L"a", L"bc", L"de"}));
    EXPECT_EQ(RegexRequiredLiterals(L"(unclosed"), Runs{});

    // Lengths no shorter text can match, checked against the search itself.
    struct Case
    {
        const wchar_t* body;
        std::size_t length;
    };
    for (const Case& c : {Case{L"abc", 3}, Case{L"^a.c$", 3}, Case{L"a*b?c+d{2}e", 2}, Case{L"\\bx\\d\\.", 3},
                          Case{L"(abc)de", 2}, Case{L"a|bcd", 0}, Case{L"[ab]{0,3}x", 1}, Case{L"(a)\\1", 0},
                          Case{L"x(?=yz)", 1}, Case{L"(", 0}}) {
        EXPECT_EQ(RegexMinimumLength(c.body), c.length) << testing::PrintToString(std::wstring(c.body));
    }
    const std::wstring longBody(60000, L'a');
    EXPECT_FALSE(SearchRegex(longBody, std::wstring(2083, L'a')));
    EXPECT_TRUE(SearchRegex(std::wstring(50, L'a'), std::wstring(60, L'a')));
}

// Whatever happens to an image, opening it never crashes, and an image
// that opens either is the original or carries a different list (which its
// user compares with the real one); lookups on what opens never crash.
TEST(FilterIndex, DamagedTruncatedAndRandomImagesAreRefused)
{
    CGenerator generate(99);
    CList list;
    for (int i = 0; i < 300; ++i)
        list.Add(generate.OneIn(10) ? generate.Regex() : generate.Wildcard(), generate.OneIn(6), false);
    const std::vector<BYTE> image = list.BuildImage();
    // URLs that the list's records match, so that lookups read them.
    std::vector<std::wstring> urls;
    for (const FilterRule* rule : list.Records())
        urls.push_back(generate.Instance(std::wstring(rule->body, rule->length)));
    std::size_t unanswered = 0;
    std::mt19937 random(5);
    auto check = [&](const std::vector<BYTE>& damaged) {
        const auto index = CFilterIndex::Open(damaged.data(), damaged.size());
        if (!index)
            return;
        if (damaged == image)
            return;
        // Only the list copy can differ; a lookup that reads a damaged
        // record gives no answer rather than a wrong one.
        EXPECT_TRUE(index->GetListSize() == list.Size() && index->GetListHash() == FilterListHash(list.Bytes(), list.Size()))
            << "damage outside the list copy went unnoticed";
        EXPECT_NE(std::memcmp(index->GetList(), list.Bytes(), list.Size()), 0);
        for (const std::wstring& url : urls) {
            const std::optional<bool> answer = index->IsAllowed(url.c_str());
            if (answer)
                EXPECT_EQ(*answer, list.WalkAllows(url.c_str())) << testing::PrintToString(url);
            else
                ++unanswered;
        }
    };
    for (int round = 0; round < 2000; ++round) {
        std::vector<BYTE> damaged = image;
        const std::size_t flips = 1 + random() % 4;
        for (std::size_t i = 0; i < flips; ++i)
            damaged[random() % damaged.size()] ^= static_cast<BYTE>(1 + random() % 255);
        check(damaged);
    }
    for (std::size_t length = 0; length < image.size(); length += 1 + length / 3)
        check(std::vector<BYTE>(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(length)));
    for (int round = 0; round < 200; ++round) {
        std::vector<BYTE> noise(random() % (image.size() * 2));
        for (BYTE& b : noise)
            b = static_cast<BYTE>(random());
        // A valid header on noise must not get it through either.
        if (noise.size() >= 64 && round % 2)
            std::memcpy(noise.data(), image.data(), 64);
        check(noise);
    }
    EXPECT_GT(unanswered, 0u) << "no damaged record was ever read";
}

// Any process of the user can rewrite a mapped image while lookups read it
// (a thread stands in for it here: the same memory, the same races). The
// image ends where an inaccessible page begins, so that a read past it
// faults. No lookup crashes, and every answer is one the list or a damaged
// image could give: the walk's, "allowed" (a record the rewrite hid, or none
// at all), or "blocked" by a block record of the list that matches.
TEST(FilterIndex, LookupsSurviveAnImageRewrittenUnderThem)
{
    CGenerator generate(31);
    CList list;
    for (int i = 0; i < 300; ++i) {
        const bool isRegex = generate.OneIn(10);
        list.Add(isRegex ? generate.Regex() : generate.Wildcard(), generate.OneIn(6), isRegex);
    }
    const std::vector<BYTE> image = list.BuildImage();
    struct CExpected
    {
        std::wstring url;
        bool walk;
        bool blockMatches;
    };
    std::vector<CExpected> expected;
    for (const FilterRule* rule : list.Records()) {
        CExpected e{generate.Instance(std::wstring(rule->body, rule->length)), false, false};
        e.walk = list.WalkAllows(e.url.c_str());
        for (const FilterRule* other : list.Records())
            e.blockMatches = e.blockMatches || (!other->isException && MatchFilter(*other, e.url.c_str()));
        expected.push_back(e);
    }

    const std::size_t pages = (image.size() + 4095) / 4096 + 1;
    BYTE* region = static_cast<BYTE*>(VirtualAlloc(nullptr, pages * 4096, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    ASSERT_TRUE(region);
    DWORD old;
    ASSERT_TRUE(VirtualProtect(region + (pages - 1) * 4096, 4096, PAGE_NOACCESS, &old));
    BYTE* const mapped = region + (pages - 1) * 4096 - image.size();
    std::atomic<std::size_t> answered{0}, wrong{0};
    for (int round = 0; round < 40; ++round) {
        std::memcpy(mapped, image.data(), image.size());
        const auto index = CFilterIndex::Open(mapped, image.size());
        ASSERT_TRUE(index);
        std::atomic<bool> stop{false};
        std::thread writer([&, round] {
            std::mt19937 random(static_cast<unsigned>(round));
            // Mostly the header and the tables (every count, offset and
            // entry), sometimes the records, a word or a byte at a time.
            while (!stop.load()) {
                const std::size_t tables = 264 + list.Size(), kind = random() % 3;
                const std::size_t at = kind == 0   ? random() % 264
                                       : kind == 1 ? tables + random() % (image.size() - tables)
                                                   : random() % image.size();
                if (random() % 2 && at + 4 <= image.size()) {
                    const std::uint32_t word = random() % 2 ? random() : random() % 64;
                    std::memcpy(mapped + at, &word, sizeof word);
                } else {
                    mapped[at] = static_cast<BYTE>(random());
                }
                if (random() % 64 == 0)
                    std::memcpy(mapped, image.data(), image.size());
            }
        });
        auto read = [&] {
            for (int pass = 0; pass < 3; ++pass) {
                for (const CExpected& e : expected) {
                    const std::optional<bool> answer = index->IsAllowed(e.url.c_str());
                    if (!answer)
                        continue;
                    ++answered;
                    if (*answer != e.walk && !*answer && !e.blockMatches)
                        ++wrong;
                }
            }
        };
        std::thread reader(read);
        read();
        reader.join();
        stop.store(true);
        writer.join();
    }
    VirtualFree(region, 0, MEM_RELEASE);
    EXPECT_EQ(wrong.load(), 0u);
    EXPECT_GT(answered.load(), 0u);
}

// The list's hash is the same however the list is read, and any change to a
// byte changes it.
TEST(FilterIndex, ListHashIsTheSameReadInPiecesAndSeesEveryChange)
{
    std::mt19937 random(17);
    std::vector<BYTE> bytes(100000);
    for (BYTE& b : bytes)
        b = static_cast<BYTE>(random());
    const std::uint64_t whole = FilterListHash(bytes.data(), static_cast<DWORD>(bytes.size()));
    for (int round = 0; round < 20; ++round) {
        CFilterChecksum pieces;
        for (std::size_t at = 0; at < bytes.size();) {
            const std::size_t size = std::min<std::size_t>(bytes.size() - at, random() % 100);
            pieces.Add(bytes.data() + at, size);
            at += size;
        }
        EXPECT_EQ(pieces.Value(), whole);
    }
    for (int round = 0; round < 200; ++round) {
        std::vector<BYTE> changed = bytes;
        changed[random() % changed.size()] ^= static_cast<BYTE>(1 + random() % 255);
        EXPECT_NE(FilterListHash(changed.data(), static_cast<DWORD>(changed.size())), whole);
    }
    EXPECT_NE(FilterListHash(bytes.data(), static_cast<DWORD>(bytes.size() - 1)), whole);
}
