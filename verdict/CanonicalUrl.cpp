#include "verdict/CanonicalUrl.h"

#include <wininet.h>

#include <atomic>
#include <cwchar>

#include "com/Error.h"
#include "engine/FilterRule.h"

namespace {

// Which ASCII characters a URL may hold, where, for CanonicalizeSimpleUrl:
// as written, and as an escape decodes them.
struct CPlainCharacters
{
    bool host[128];
    bool path[128];
    bool query[128];
    bool pathEscape[256];
    bool queryEscape[256];
};

constexpr CPlainCharacters kPlain = [] {
    CPlainCharacters plain{};
    for (int c = 0; c < 128; ++c) {
        const bool lower = c >= 'a' && c <= 'z';
        const bool digit = c >= '0' && c <= '9';
        const bool letter = lower || (c >= 'A' && c <= 'Z');
        plain.host[c] = lower || digit || c == '-' || c == '.' || c == '_';
        plain.path[c] = letter || digit;
        plain.pathEscape[c] = letter || digit;
    }
    for (const char* mark = "-._/?=;,+!$()*:@"; *mark != '\0'; ++mark)
        plain.path[static_cast<unsigned char>(*mark)] = true;
    for (const char* mark = "-._=;,+!$()*"; *mark != '\0'; ++mark)
        plain.pathEscape[static_cast<unsigned char>(*mark)] = true;
    for (int c = 0; c < 128; ++c) {
        plain.query[c] = plain.path[c];
        plain.queryEscape[c] = plain.pathEscape[c];
    }
    for (const char* mark = "&~|[]{}^`\"<>'"; *mark != '\0'; ++mark)
        plain.query[static_cast<unsigned char>(*mark)] = true;
    // Where the query's escapes are decoded, every character they give but
    // controls is left as it is (QueryEscapes makes sure).
    for (int c = ' '; c < 256; ++c)
        plain.queryEscape[c] = c != 127;
    return plain;
}();

inline bool IsAsciiLower(wchar_t c) noexcept
{
    return c >= L'a' && c <= L'z';
}

// Stops at the first difference, so at the terminator of a shorter text.
inline bool StartsWith(const wchar_t* text, const wchar_t* prefix) noexcept
{
    for (; *prefix != L'\0'; ++text, ++prefix) {
        if (*text != *prefix)
            return false;
    }
    return true;
}

// What this process's platform does with the escapes of a URL's query.
enum EQueryEscapes : int
{
    kUnasked,
    kDecodedInQuery,  // each decoded to the character of its byte, left as it is (Wine)
    kKeptInQuery,  // left as written (browser mode, as documented for Windows)
    kUnknownEscapes  // something else: every escape takes the full call
};

// Asked of the platform once per process (threads that ask at the same time
// get the same answer). Both answers decode the path's escapes.
EQueryEscapes QueryEscapes() noexcept
{
    static std::atomic<int> s_answer{kUnasked};
    int answer = s_answer.load(std::memory_order_relaxed);
    if (answer == kUnasked) {
        wchar_t probe[64];
        DWORD length = ARRAYSIZE(probe);
        answer = kUnknownEscapes;
        if (InternetCanonicalizeUrlW(L"http://a.b/%41?%41%20%7C%2F%3F%23%25%5C%2E%C3%A9%80", probe, &length,
                                     ICU_DECODE)) {
            if (std::wcscmp(probe, L"http://a.b/A?A |/?#%\\.\u00C3\u00A9\u0080") == 0)
                answer = kDecodedInQuery;
            else if (std::wcscmp(probe, L"http://a.b/A?%41%20%7C%2F%3F%23%25%5C%2E%C3%A9%80") == 0)
                answer = kKeptInQuery;
        }
        s_answer.store(answer, std::memory_order_relaxed);
    }
    return static_cast<EQueryEscapes>(answer);
}

}  // namespace

// Why a URL taken here gets the platform's canonical form: with ICU_DECODE
// (and, since IE 4, always as if ICU_BROWSER_MODE were given)
// InternetCanonicalizeUrlW only ever
//  - decodes %XX sequences before it parses the path: an escape there is
//    decoded here only when it gives a letter, a digit or one of
//    "-._=;,+!$()*", characters that give the path no new structure and
//    that the platform leaves as they are;
//  - in the path, encodes what it calls unsafe: spaces, controls,
//    non-ASCII, and < > " # { } | \ ^ [ ] ~ ` ': none is taken, written or
//    decoded. Browser mode encodes and decodes nothing after the "?", so
//    there the unsafe marks are taken as written (not "\", spaces or
//    controls), and escapes as this process's platform was seen to treat
//    them (QueryEscapes): copied as written, or (Wine) decoded to the
//    character of their byte;
//  - removes dot segments ("/./", "/../", a final "/." or "/..", and on
//    some versions "..."): no "." is taken beside a "/", another "." or
//    the end, so no segment is, or starts with, a dot, in the text as
//    decoded, the query too (Wine removes them there);
//  - removes trailing white space: no space or control is taken as
//    written;
//  - handles the scheme and the host: Windows may fold their case (Wine
//    keeps the host's), drop a default port, give a bare host its "/", and
//    some parsers rewrite a numeric host as a dotted address. Only a
//    lowercase "http://" or "https://" is taken, then a lowercase host of
//    letters, digits, "-", "_" and inner "." whose last label starts with a
//    letter, with no user info and no port, then a "/".
// The fragment never reaches the platform (AsRequested): it ends the URL
// here. Letters keep their case; ":", "@" and "//" in the path are neither
// unsafe nor dot segments, and stay. Wine differs from the documented rules
// in places, so each place where it does is refused too: it encodes "&" in
// a path (taken only after the "?"), turns "\" as written into "/"
// everywhere and keeps "~", "'" and a final "/." in the path (refused all
// the same). At most 2083 characters are read, so the result fits the
// caller's buffer as the full call's would. Everything else takes the full
// call.
std::size_t CanonicalizeSimpleUrl(const wchar_t* url, wchar_t* canonical) noexcept
{
    const wchar_t* p = url;
    if (!StartsWith(p, L"http"))
        return 0;
    p += 4;
    if (*p == L's')
        ++p;
    if (!StartsWith(p, L"://"))
        return 0;
    p += 3;
    const wchar_t* const host = p;
    const wchar_t* lastLabel = host;
    // The host, up to its "/".
    for (; *p != L'/'; ++p) {
        const wchar_t c = *p;
        if (c >= 128 || !kPlain.host[c])
            return 0;  // the terminator too: a bare host
        if (c == L'.') {
            if (p == host || p[-1] == L'.' || p[1] == L'.' || p[1] == L'/')
                return 0;
            lastLabel = p + 1;
        }
    }
    if (p == host || !IsAsciiLower(*lastLabel) || static_cast<std::size_t>(p - url) >= kCanonicalUrlCapacity - 1)
        return 0;
    std::wmemcpy(canonical, url, static_cast<std::size_t>(p - url));
    wchar_t* const path = canonical + (p - url);
    wchar_t* out = path;
    // The path, then the query, decoded, up to the fragment.
    const bool* plain = kPlain.path;
    const bool* decodable = kPlain.pathEscape;
    bool query = false;
    EQueryEscapes escapes = kUnasked;
    for (; *p != L'\0' && *p != L'#'; ++p) {
        if (static_cast<std::size_t>(p - url) >= kCanonicalUrlCapacity - 1)
            return 0;
        const wchar_t c = *p;
        if (c == L'%') {
            if (escapes == kUnasked)
                escapes = QueryEscapes();
            const int high = HexDigitValue(p[1]);
            const int low = high < 0 ? -1 : HexDigitValue(p[2]);
            // The whole escape within the bound, as it may be copied whole.
            if (low < 0 || escapes == kUnknownEscapes ||
                static_cast<std::size_t>(p + 2 - url) >= kCanonicalUrlCapacity - 1)
                return 0;
            if (query && escapes == kKeptInQuery) {
                out[0] = c, out[1] = p[1], out[2] = p[2];
                out += 3, p += 2;
                continue;
            }
            const int decoded = high * 16 + low;
            if (!decodable[decoded])
                return 0;
            *out++ = static_cast<wchar_t>(decoded);
            p += 2;
            continue;
        }
        if (c >= 128 || !plain[c])
            return 0;
        if (c == L'?' && !query) {
            query = true;
            plain = kPlain.query;
            decodable = kPlain.queryEscape;
        }
        *out++ = c;
    }
    *out = L'\0';
    // Dots, as the platform parses the text.
    for (const wchar_t* q = path; q != out; ++q) {
        if (*q == L'.' && (q[-1] == L'/' || q[-1] == L'.' || q[1] == L'.' || q[1] == L'/' || q[1] == L'\0'))
            return 0;
    }
    return static_cast<std::size_t>(out - canonical);
}

void CanonicalizeUrl(const wchar_t* url, wchar_t* canonical)
{
    // Most URLs a page requests are simple; the full call costs a
    // microsecond or two, and tens of them for some URLs.
    if (CanonicalizeSimpleUrl(url, canonical) != 0)
        return;
    std::wstring requested, escaped;
    DWORD length = kCanonicalUrlCapacity;
    if (!InternetCanonicalizeUrlW(KeepEncodedZerosVisible(AsRequested(url, requested), escaped), canonical, &length,
                                  ICU_DECODE))
        ThrowLastError();
}

const wchar_t* AsRequested(const wchar_t* url, std::wstring& storage)
{
    // The fragment ends at the first "#" as written; a "%23" is part of the
    // path or query, and the server receives it.
    const wchar_t* const hash = std::wcschr(url, L'#');
    const wchar_t* const end = hash ? hash : url + std::wcslen(url);
    std::size_t schemeLength = 0;
    unsigned defaultPort = 0;
    if (_wcsnicmp(url, L"http://", 7) == 0) {
        schemeLength = 7;
        defaultPort = 80;
    } else if (_wcsnicmp(url, L"https://", 8) == 0) {
        schemeLength = 8;
        defaultPort = 443;
    }
    // The authority: after "//", up to the path, the query or the end. Only
    // its last part (after any user info) is the host and port. A literal
    // IPv6 address is left to the platform.
    const wchar_t* authorityEnd = url + schemeLength;
    const wchar_t* nameEnd = authorityEnd;  // after the host name as it stays
    const wchar_t* portStart = authorityEnd;  // the ":port" that stays, up to authorityEnd
    if (defaultPort != 0) {
        const wchar_t* host = authorityEnd;
        while (authorityEnd != end && !std::wcschr(L"/?\\", *authorityEnd)) {
            if (*authorityEnd == L'@')
                host = authorityEnd + 1;
            ++authorityEnd;
        }
        nameEnd = portStart = authorityEnd;
        if (*host != L'[') {
            const wchar_t* colon = nullptr;
            for (const wchar_t* p = host; p != authorityEnd; ++p) {
                if (*p == L':')
                    colon = p;
            }
            if (colon) {
                nameEnd = portStart = colon;
                // An empty port, or the scheme's own however many zeros
                // lead it, goes.
                const wchar_t* p = colon + 1;
                while (p != authorityEnd && *p == L'0')
                    ++p;
                unsigned port = 0;
                for (const wchar_t* digits = p; p != authorityEnd && *p >= L'0' && *p <= L'9' && p - digits < 5; ++p)
                    port = port * 10 + static_cast<unsigned>(*p - L'0');
                if (colon + 1 == authorityEnd || (p == authorityEnd && port == defaultPort))
                    portStart = authorityEnd;
            }
            // "host." names the same host as "host" (the root of the names).
            while (nameEnd != host && nameEnd - 1 != host && nameEnd[-1] == L'.')
                --nameEnd;
        }
    }
    if (*end == L'\0' && nameEnd == portStart)
        return url;
    storage.assign(url, nameEnd);
    storage.append(portStart, end);
    return storage.c_str();
}

const wchar_t* KeepEncodedZerosVisible(const wchar_t* url, std::wstring& storage)
{
    const wchar_t* zero = std::wcsstr(url, L"%00");
    if (!zero)
        return url;
    storage.assign(url, zero);
    for (const wchar_t* p = zero; *p != L'\0';) {
        if (p[0] == L'%' && p[1] == L'0' && p[2] == L'0') {
            storage += L"%2500";
            p += 3;
        } else {
            storage += *p++;
        }
    }
    return storage.c_str();
}
