// The shortcut that canonicalizes simple URLs itself, against the platform's
// canonicalization: whatever the shortcut takes must be what
// InternetCanonicalizeUrlW returns, and CanonicalizeUrl must give the
// platform's answer (text or failure) for every URL as requested.

#include <gtest/gtest.h>

#include <windows.h>
#include <wininet.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "com/Error.h"
#include "verdict/CanonicalUrl.h"

namespace {

struct CCanonical
{
    HRESULT hr = S_OK;
    std::wstring text;

    bool operator==(const CCanonical& other) const { return hr == other.hr && text == other.text; }
};

void PrintTo(const CCanonical& canonical, std::ostream* out)
{
    *out << "hr " << std::hex << canonical.hr << " " << testing::PrintToString(canonical.text);
}

CCanonical ByThePlatform(const std::wstring& url)
{
    std::wstring requested, storage;
    wchar_t buffer[kCanonicalUrlCapacity];
    DWORD length = kCanonicalUrlCapacity;
    if (!InternetCanonicalizeUrlW(KeepEncodedZerosVisible(AsRequested(url.c_str(), requested), storage), buffer, &length,
                                  ICU_DECODE))
        return {HResultFromWin32(static_cast<LONG>(GetLastError())), {}};
    return {S_OK, buffer};
}

CCanonical Ours(const std::wstring& url)
{
    wchar_t buffer[kCanonicalUrlCapacity];
    try {
        CanonicalizeUrl(url.c_str(), buffer);
    } catch (const CHResultException& e) {
        return {e.GetHResult(), {}};
    }
    return {S_OK, buffer};
}

// Checks one URL both ways; true when the shortcut took it.
bool CheckOne(const std::wstring& url)
{
    const CCanonical platform = ByThePlatform(url);
    EXPECT_EQ(Ours(url), platform) << testing::PrintToString(url);
    wchar_t buffer[kCanonicalUrlCapacity];
    const std::size_t length = CanonicalizeSimpleUrl(url.c_str(), buffer);
    if (length == 0)
        return false;
    EXPECT_EQ(platform, (CCanonical{S_OK, std::wstring(buffer, length)})) << "taken: " << testing::PrintToString(url);
    EXPECT_EQ(buffer[length], L'\0');
    return true;
}

// URLs over the alphabet the shortcut accepts, and now and then one of the
// characters or sequences that it must refuse, in every part of the URL.
class CUrlMaker
{
public:
    explicit CUrlMaker(unsigned seed) : m_random(seed) {}

    std::wstring Make()
    {
        std::wstring url = Pick({L"http://", L"https://"}, {L"HTTP://", L"Https://", L"ftp://", L"http:/", L"http:\\\\",
                                                             L"http:", L"file://", L"https:///", L"httpss://", L" http://"});
        const int labels = 1 + Below(4);
        for (int i = 0; i < labels; ++i) {
            if (i > 0)
                url += Rare() ? Pick({L".."}, {L"._", L".-", L"-."}) : L".";
            url += Run(kHost, 1 + Below(i + 1 == labels ? 6 : 12));
        }
        if (Rare())
            url = Pick({url + L".", url + L"1", url + L".2", url + L".0x7f"});
        url += Rare() ? Pick({L""}, {L"?", L"#", L"\\", L"//", L";"}) : L"/";
        const std::size_t length = Below(20) == 0 ? 2040 + Below(60) : Below(100);
        const bool words = Below(2) == 0;
        while (url.size() < length) {
            if (words) {
                // Words between single marks, as most real URLs are.
                url += Run(kWord, 1 + Below(8));
                url += kMarks[static_cast<std::size_t>(Below(static_cast<int>(kMarks.size())))];
            } else {
                url += kPath[static_cast<std::size_t>(Below(static_cast<int>(kPath.size())))];
            }
        }
        if (Below(3) == 0) {
            // One near miss anywhere.
            const std::size_t at = static_cast<std::size_t>(Below(static_cast<int>(url.size()) + 1));
            url.insert(at, kNearMisses[static_cast<std::size_t>(Below(static_cast<int>(kNearMisses.size())))]);
        }
        return url;
    }

private:
    static inline const std::wstring kHost = L"abcdefghijklmnopqrstuvwxyz0123456789-";
    static inline const std::wstring kPath =
        L"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-._/?=&;,+!$()*";
    static inline const std::wstring kWord = L"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_";
    static inline const std::wstring kMarks = L"/./?=&;,+!$()*";
    static inline const std::vector<std::wstring> kNearMisses = {
        L"/./", L"/../", L"/.", L"/..", L"..", L"./", L"...", L".", L"//", L"/.?", L"/..?", L"?..", L"%2e", L"%2F",
        L"%41", L"%26", L"%00", L"%", L"%zz", L"%4", L"%3a", L"%2f%2f", L"%7C", L"%3F", L"%23", L"%25", L"%7e",
        L"%40", L"%20", L"%5c", L"%2E%2e", L"?u=http%3A%2F%2Fa.b%2F", L"#a/../", L"#%41", L"#", L"#x/../", L"\\..\\", L"\\", L" ", L"\t", L"\r\n", L"\u00e9",
        L"\u2028", L"\uFEFF", L"\xD800", L"~", L"@", L":", L":80", L"u:p@", L"'", L"`", L"|", L"^", L"{", L"}", L"[",
        L"]", L"<", L">", L"\"", L"\x7f", L"\x01", L"A", L"_", L"&", L"?", L"/"};

    int Below(int bound) { return std::uniform_int_distribution<int>(0, bound - 1)(m_random); }
    bool Rare() { return Below(10) == 0; }
    std::wstring Run(const std::wstring& alphabet, int count)
    {
        std::wstring run;
        for (int i = 0; i < count; ++i)
            run += alphabet[static_cast<std::size_t>(Below(static_cast<int>(alphabet.size())))];
        return run;
    }
    // Mostly one of `usual`; one time in ten one of `unusual`.
    std::wstring Pick(const std::vector<std::wstring>& usual, const std::vector<std::wstring>& unusual = {})
    {
        const auto& from = unusual.empty() || !Rare() ? usual : unusual;
        return from[static_cast<std::size_t>(Below(static_cast<int>(from.size())))];
    }

    std::mt19937 m_random;
};

}  // namespace

TEST(CanonicalUrl, TheShortcutAgreesWithThePlatformOnGeneratedUrls)
{
    CUrlMaker maker(12);
    int taken = 0, refused = 0, longTaken = 0;
    for (int i = 0; i < 60000; ++i) {
        const std::wstring url = maker.Make();
        if (CheckOne(url)) {
            ++taken;
            longTaken += url.size() > 2000;
        } else {
            ++refused;
        }
        if (HasFailure())
            break;
    }
    // Both sides of the shortcut were exercised, long URLs too.
    EXPECT_GT(taken, 10000);
    EXPECT_GT(refused, 10000);
    EXPECT_GT(longTaken, 100);
    std::printf("%d taken (%d of them over 2000 characters), %d refused\n", taken, longTaken, refused);
}

TEST(CanonicalUrl, TheShortcutTakesPlainUrlsUpToTheLongestOne)
{
    for (const wchar_t* url :
         {L"http://a/", L"https://a/", L"http://example.com/", L"http://ads.example.co.uk/banner.gif",
          L"http://x-1.y2/a.b/c.d?e.f=g.h&i=j;k,l+m!n$o(p)q*r", L"http://a.b/?", L"http://a.b/a?b?c/d", L"http://a.b/a.a",
          L"http://a.b/A/B.GIF", L"http://a.b/a.?.b", L"http://a.b/-_-/__/--", L"http://e.xample/x.js?v=1.2.3",
          // escapes, and the fragment the browser never sends
          L"http://a.b/%41%62c", L"http://a.b/x%2Ey", L"http://a.b/?u=http%3A%2F%2Fc.d%2Fe%3Df", L"http://a.b/#x",
          L"http://a.b/x#", L"http://a.b/x?y#z/../%00", L"http://a.b/?u=http://c.d/", L"http://a.b/?m=a%40b:c~d",
          L"http://a.b/?%C3%A9%20|[]{}^`\"<>'", L"http://a_b.c_d.e/", L"http://a.b//x//", L"http://a.b/a:b@c/"}) {
        EXPECT_TRUE(CheckOne(url)) << testing::PrintToString(url);
    }
    // The longest URL the platform takes, and one more character.
    const std::wstring prefix = L"http://example.com/";
    for (std::size_t length = 2078; length <= 2088; ++length) {
        const std::wstring url = prefix + std::wstring(length - prefix.size(), L'a');
        EXPECT_EQ(CheckOne(url), length <= kCanonicalUrlCapacity - 1) << length;
    }
    const std::wstring tooLong = prefix + std::wstring(kCanonicalUrlCapacity - prefix.size(), L'a');
    EXPECT_EQ(Ours(tooLong).hr, HResultFromWin32(ERROR_INSUFFICIENT_BUFFER));
    // A host past the longest URL, and a long host before a short path.
    EXPECT_FALSE(CheckOne(L"http://" + std::wstring(2100, L'a') + L"/"));
    EXPECT_TRUE(CheckOne(L"http://" + std::wstring(2070, L'a') + L"/x"));
}

// Each differs from a URL the shortcut takes in one place where the
// canonicalization may change the text, on Windows if not under Wine.
TEST(CanonicalUrl, TheShortcutRefusesWhatThePlatformMayChange)
{
    for (const wchar_t* url : {
             // scheme
             L"HTTP://a.b/", L"Http://a.b/", L"httpS://a.b/", L"ftp://a.b/", L"file://a.b/", L"http:/a.b/",
             L"http:a.b/", L"http:\\\\a.b/", L" http://a.b/", L"http ://a.b/", L"http", L"", L"https",
             // host
             L"http://A.b/", L"http://a.B/", L"http://a.b", L"http://a.b?x", L"http://a.b#x", L"http://a.b\\x",
             L"http://a.b:80/", L"http://a.b:/", L"http://u@a.b/", L"http://u:p@a.b/", L"http:///", L"http:///a",
             L"http://.a.b/", L"http://a..b/", L"http://a.b./", L"http://a._b/", L"http://1.2.3.4/",
             L"http://0x7f.1/", L"http://a.0x1/", L"http://127.1/", L"http://a.1b/", L"http://%61.b/",
             L"http://\u00e9.b/", L"http://a b/", L"http://[::1]/",
             // dot segments
             L"http://a.b/./", L"http://a.b/../", L"http://a.b/.", L"http://a.b/..", L"http://a.b/x/.",
             L"http://a.b/x/..", L"http://a.b/x/./y", L"http://a.b/x/../y", L"http://a.b/.x", L"http://a.b/x./",
             L"http://a.b/x.", L"http://a.b/x..y", L"http://a.b/...", L"http://a.b/x/.?y", L"http://a.b/x/..?y",
             L"http://a.b/?x/../y", L"http://a.b/?.", L"http://a.b/x?y=.", L"http://a.b/x/%2e?y",
             L"http://a.b/%2E%2E/", L"http://a.b/?u=http%3A%2F%2Fc.d%2F..%2F",
             // backslashes
             L"http://a.b/x\\y", L"http://a.b/x\\..\\y", L"http://a.b/?x\\y",
             // escapes, unsafe and other characters
             L"http://a.b/%2e%2e/", L"http://a.b/%00", L"http://a.b/%", L"http://a.b/%4", L"http://a.b/%4g",
             L"http://a.b/%2F", L"http://a.b/%3A", L"http://a.b/%3F", L"http://a.b/%23", L"http://a.b/%25",
             L"http://a.b/%26", L"http://a.b/%5C", L"http://a.b/%20", L"http://a.b/%7C", L"http://a.b/?%00",
             L"http://a.b/a b", L"http://a.b/a ", L"http://a.b/\t", L"http://a.b/a\r\nb",
             L"http://a.b/\u00e9", L"http://a.b/\u2028", L"http://a.b/\uFEFF", L"http://a.b/\x7f",
             L"http://a.b/<", L"http://a.b/>", L"http://a.b/\"", L"http://a.b/{", L"http://a.b/}",
             L"http://a.b/|", L"http://a.b/^", L"http://a.b/[", L"http://a.b/]", L"http://a.b/`", L"http://a.b/'",
             L"http://a.b/~", L"http://a.b/?x ", L"http://a.b/?\t", L"http://a.b/?%7F"}) {
        EXPECT_FALSE(CheckOne(url)) << testing::PrintToString(url);
    }
}

// What the browser requests for one spelling of a URL is what the filters
// judge: a fragment never reaches the server, and a host has one spelling.
TEST(CanonicalUrl, SpellingsOfOneRequestGiveOneForm)
{
    for (const wchar_t* url :
         {L"http://ads.example.com/x.swf", L"http://ads.example.com/x.swf#top", L"http://ads.example.com./x.swf",
          L"http://ads.example.com..:80/x.swf", L"http://ads.example.com:/x.swf", L"http://ads.example.com:0080/x.swf#a#b",
          L"http://ads.example.com:80/x.swf#?"}) {
        EXPECT_EQ(Ours(url), (CCanonical{S_OK, L"http://ads.example.com/x.swf"})) << testing::PrintToString(url);
    }
    EXPECT_EQ(Ours(L"https://a.example:443#x").text, L"https://a.example/");
    EXPECT_EQ(Ours(L"http://u:p@a.example.:80/").text, L"http://u:p@a.example/");
    // Another port is another server; an escaped "#" is sent, and decoded
    // like any escape; a "%00" in a fragment goes with it.
    EXPECT_EQ(Ours(L"http://a.example.:8080/x").text, L"http://a.example:8080/x");
    EXPECT_EQ(Ours(L"https://a.example:80/x").text, L"https://a.example:80/x");
    EXPECT_EQ(Ours(L"http://a.example:800/x").text, L"http://a.example:800/x");
    EXPECT_EQ(Ours(L"http://a.example/a%23/banner/x#y%00z").text, L"http://a.example/a#/banner/x");
    EXPECT_EQ(Ours(L"http://a.example/a%00b#c").text, L"http://a.example/a%00b");
}
