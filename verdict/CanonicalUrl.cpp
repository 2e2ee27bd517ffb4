#include "verdict/CanonicalUrl.h"

#include <wininet.h>

#include <cwchar>

#include "com/Error.h"

namespace {

// Which ASCII characters a URL may hold, where, for AlreadyCanonicalLength.
struct CPlainCharacters
{
    bool host[128];
    bool path[128];
    bool query[128];
};

constexpr CPlainCharacters kPlain = [] {
    CPlainCharacters plain{};
    for (int c = 0; c < 128; ++c) {
        const bool lower = c >= 'a' && c <= 'z';
        const bool digit = c >= '0' && c <= '9';
        plain.host[c] = lower || digit || c == '-' || c == '.';
        plain.path[c] = lower || digit || (c >= 'A' && c <= 'Z');
    }
    for (const char* mark = "-._/?=;,+!$()*"; *mark != '\0'; ++mark)
        plain.path[static_cast<unsigned char>(*mark)] = true;
    for (int c = 0; c < 128; ++c)
        plain.query[c] = plain.path[c] || c == '&';
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

}  // namespace

// Why a URL accepted here is certain to be its own canonical form: with
// ICU_DECODE (and, since IE 4, always as if ICU_BROWSER_MODE were given)
// InternetCanonicalizeUrlW only ever
//  - decodes %XX sequences before it parses: no "%" is accepted;
//  - encodes what it calls unsafe: spaces, controls, non-ASCII, and
//    < > " # { } | \ ^ [ ] ` ': none is accepted ("#" also because browser
//    mode leaves a fragment alone and the other mode does not);
//  - removes dot segments ("/./", "/../", a final "/." or "/..", and on
//    some versions "..."): no "." is accepted beside a "/", another "." or
//    the end, so no segment is, or starts with, a dot;
//  - removes trailing white space: none is accepted;
//  - handles the scheme and the host: Windows may fold their case (Wine
//    keeps the host's), drop a default port, give a bare host its "/", and
//    some parsers rewrite a numeric host as a dotted address. Only a
//    lowercase "http://" or "https://" is accepted, then a lowercase host of
//    letters, digits, "-" and inner "." whose last label starts with a
//    letter, with no user info and no port, then a "/".
// Letters of the path and query keep their case. Of the marks, only those
// no URL parser gives a second meaning in a path are accepted: ":", "@",
// "~" and "//" after the host take the full call too, though neither
// platform is known to change them. Wine differs from the documented rules
// in places, so each place where it does is refused too: it encodes "&" in
// a path (accepted only after the "?", where browser mode encodes
// nothing), turns "\" into "/" everywhere and removes dot segments from the
// query as well (it keeps "'" and a final "/.", refused all the same). At most 2083 characters, the result
// fits the caller's buffer as the full call's would. Everything else takes
// the full call.
std::size_t AlreadyCanonicalLength(const wchar_t* url) noexcept
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
    if (p == host || !IsAsciiLower(*lastLabel))
        return 0;
    // The path, then the query.
    const bool* plain = kPlain.path;
    for (; *p != L'\0'; ++p) {
        if (static_cast<std::size_t>(p - url) >= kCanonicalUrlCapacity - 1)
            return 0;
        const wchar_t c = *p;
        if (c >= 128 || !plain[c])
            return 0;
        if (c == L'?')
            plain = kPlain.query;
        if (c == L'/' && p[1] == L'/')
            return 0;
        if (c == L'.' && (p[-1] == L'/' || p[-1] == L'.' || p[1] == L'.' || p[1] == L'/' || p[1] == L'\0'))
            return 0;
    }
    return static_cast<std::size_t>(p - url);
}

void CanonicalizeUrl(const wchar_t* url, wchar_t* canonical)
{
    // Most URLs a page requests are canonical as they are; the full call
    // costs about a microsecond.
    if (const std::size_t length = AlreadyCanonicalLength(url)) {
        std::wmemcpy(canonical, url, length + 1);
        return;
    }
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
