// Decoding of the url() values that computed background images carry.

#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <random>
#include <stdexcept>
#include <string>

#include "browser/CssUrl.h"

namespace {

// A text whose terminator is the last character before a page that cannot
// be read: a read past the terminator faults at once.
class CGuardedText
{
public:
    static constexpr size_t kPage = 4096;
    static constexpr size_t kUsablePages = 4;

    CGuardedText()
    {
        m_base = static_cast<BYTE*>(
            VirtualAlloc(nullptr, (kUsablePages + 1) * kPage, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD old = 0;
        if (!m_base || !VirtualProtect(m_base + kUsablePages * kPage, kPage, PAGE_NOACCESS, &old))
            throw std::runtime_error("cannot set up a guard page");
    }
    ~CGuardedText() { VirtualFree(m_base, 0, MEM_RELEASE); }
    CGuardedText(const CGuardedText&) = delete;
    CGuardedText& operator=(const CGuardedText&) = delete;

    // Copies text (which must fit) so that its terminator ends the usable pages.
    wchar_t* Put(const std::wstring& text)
    {
        size_t bytes = (text.size() + 1) * sizeof(wchar_t);
        if (bytes > kUsablePages * kPage)
            throw std::length_error("text too long for the guarded buffer");
        auto* start = reinterpret_cast<wchar_t*>(m_base + kUsablePages * kPage - bytes);
        std::memcpy(start, text.c_str(), bytes);
        return start;
    }

private:
    BYTE* m_base = nullptr;
};

struct CDecoded
{
    bool accepted;
    std::wstring url;
};

CDecoded Decode(const std::wstring& text)
{
    static CGuardedText guarded;
    wchar_t* buffer = guarded.Put(text);
    bool accepted = ParseCssUrl(buffer);
    return {accepted, accepted ? std::wstring(buffer) : std::wstring()};
}

}  // namespace

TEST(ParseCssUrl, DecodesOneUrlValueQuotedOrNot)
{
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        {L"url(a.png)", L"a.png"},
        {L"url( 'a b.png' )", L"a b.png"},
        {L"url(\"http://ads.example/b.gif\")", L"http://ads.example/b.gif"},
        {L"url('x\\'y')", L"x'y"},
        {L"url(\"x\\\"y\")", L"x\"y"},
        {L"url('a\"b')", L"a\"b"},      // the other quotation mark is plain text
        {L"url(a.png )", L"a.png "},    // unquoted: the space belongs to the URL
        {L"url(\\))", L")"},            // an escaped parenthesis does not end it
        {L"url()", L""},
        {L"url('')", L""},
    };
    for (const auto& [text, url] : cases) {
        CDecoded decoded = Decode(text);
        EXPECT_TRUE(decoded.accepted) << text;
        EXPECT_EQ(decoded.url, url) << text;
    }
}

TEST(ParseCssUrl, DecodesHexEscapesAndLineContinuations)
{
    const std::pair<const wchar_t*, std::wstring> cases[] = {
        {L"url(\\41 b)", L"Ab"},            // the space after a short escape is consumed
        {L"url(\\000041 b)", L"A b"},       // after six digits the space stays
        {L"url(\\0000411)", L"A1"},         // a seventh digit is plain text
        {L"url(\\41\\42)", L"AB"},
        {L"url('\\41')", L"A"},
        {L"url(\\1F600)", std::wstring{wchar_t(0xD83D), wchar_t(0xDE00)}},
        {L"url('a\\\nb')", L"ab"},
        {L"url('a\\\r\nb')", L"ab"},
        {L"url('a\\\fb')", L"ab"},
        {L"url('a\\\rb')", L"ab"},          // a lone carriage return goes too
    };
    for (const auto& [text, url] : cases) {
        CDecoded decoded = Decode(text);
        EXPECT_TRUE(decoded.accepted) << text;
        EXPECT_EQ(decoded.url, url) << text;
    }
}

TEST(ParseCssUrl, RejectsAnythingButExactlyOneUrlValue)
{
    const wchar_t* const cases[] = {
        L"", L"u", L"url", L"url(", L"url(   ", L"URL(a.png)", L" url(a.png)", L"url(a.png)x", L"url(a.png) ",
        L"url('a.png'x)", L"url('a.png", L"url(a.png", L"url('a.png)", L"none", L"url(a.png), url(b.png)",
        L"url(\\", L"url('\\", L"url(\\41",
        // Escapes that name no character a URL can hold.
        L"url(\\D800)", L"url(\\DFFF)", L"url(\\110000)", L"url(\\FFFFFF)", L"url(\\0)", L"url(\\000000)",
    };
    for (const wchar_t* text : cases)
        EXPECT_FALSE(Decode(text).accepted) << text;
}

TEST(ParseCssUrl, NeverReadsPastTheTextOrWritesMoreThanItRead)
{
    // Texts built from the characters that steer the decoder, most of them
    // starting like a url() value, each ending right before a guard page.
    const std::wstring alphabet = L"url()'\"\\ \t\r\n\f0123456789abcdefABCDEFxyz/.%";
    std::mt19937 random(20240611);
    std::uniform_int_distribution<size_t> pick(0, alphabet.size() - 1);
    std::uniform_int_distribution<int> length(0, 24);
    std::bernoulli_distribution prefixed(0.8), wide(0.05);
    int accepted = 0;
    for (int round = 0; round < 200000; ++round) {
        std::wstring text = prefixed(random) ? L"url(" : L"";
        for (int n = length(random); n > 0; --n)
            text += wide(random) ? static_cast<wchar_t>(0x3000 + pick(random)) : alphabet[pick(random)];
        CDecoded decoded = Decode(text);
        if (decoded.accepted) {
            ++accepted;
            ASSERT_LE(decoded.url.size(), text.size()) << round;
        }
    }
    // The texts reach the decoding paths, not only the early rejections.
    EXPECT_GT(accepted, 1000);
}
