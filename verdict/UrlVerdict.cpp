#include "verdict/UrlVerdict.h"

#include <wininet.h>

#include <cstddef>
#include <cstring>
#include <cwchar>

#include "com/Error.h"
#include "engine/FilterIndex.h"
#include "engine/FilterRule.h"
#include "engine/RegexSearch.h"
#include "storage/FilterIndexStore.h"
#include "storage/FilterListStore.h"

namespace {

inline bool IsLiteral(wchar_t c) noexcept
{
    return c != L'\0' && c != L'*' && c != L'?' && c != L'\\';
}

// One record of the list at a time, copied out of the shared view: any
// process of the user can rewrite storage.bin's bytes while a walk reads
// them, so the walk reads each record's length once, copies that many bytes
// and reads only the copy, which ends with its terminator.
class CRecordCopy
{
public:
    // False when the record at `at` (with `available` bytes of the view from
    // there) is no longer whole: the walk then leaves it out, as the cursor
    // leaves out a record without its terminator.
    bool Take(const BYTE* at, std::size_t available)
    {
        WORD length;
        std::memcpy(&length, at + offsetof(FilterRule, length), sizeof length);
        Settle(&length);
        const std::size_t size = FilterRecordSize(length);
        if (size > available)
            return false;
        m_bytes = m_local;
        if (size > sizeof m_local) {
            m_large.resize(size);
            m_bytes = m_large.data();
        }
        std::memcpy(m_bytes, at, size);
        Settle(m_bytes);
        return Get().length == length && Get().body[length] == L'\0';
    }
    const FilterRule& Get() const noexcept { return *reinterpret_cast<const FilterRule*>(m_bytes); }

private:
    // Neither skips the copy nor lets the compiler read the shared bytes
    // again in its place.
    static void Settle(const void* copy) noexcept { asm volatile("" : : "r"(copy) : "memory"); }

    alignas(8) BYTE m_local[512];
    std::vector<BYTE> m_large;
    BYTE* m_bytes = m_local;
};

// The list walk: every record in list order, under the list's read access.
bool WalkList(CSharedStore& filterList, const wchar_t* canonical, const CRegexTimeBound& bound,
              std::vector<std::wstring>* deciding)
{
    // Most wildcard filters share no pair of adjacent characters with the URL;
    // they are ruled out without running the matcher.
    const CUrlCharacterPairs pairs(canonical);

    // An empty list, as every user has who never stored a filter, allows
    // everything: no lock protocol for that (a writer that empties the list
    // has its change counted by then, and one that fills it does not make
    // the file longer before its change is under way).
    if (filterList.GetSize() == 0)
        return true;

    // A matching exception settles the answer at once.
    CStoreReader reader(filterList);
    const BYTE* const viewEnd = reader.GetView() + reader.GetViewSize();
    bool allowed = true;
    CFilterRecordCursor cursor(reader);
    CRecordCopy copy;
    while (const FilterRule* shared = cursor.Next()) {
        const BYTE* at = reinterpret_cast<const BYTE*>(shared);
        if (!copy.Take(at, static_cast<std::size_t>(viewEnd - at)))
            continue;
        const FilterRule& rule = copy.Get();
        if (!rule.isRegex && !pairs.MayMatch(rule.body))
            continue;
        if (!MatchFilter(rule, canonical, &bound))
            continue;
        if (rule.isException) {
            if (deciding)
                deciding->assign(1, FilterToText(rule));
            return true;
        }
        allowed = false;
        if (deciding)
            deciding->push_back(FilterToText(rule));
    }
    return allowed;
}

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
    std::wstring escaped;
    DWORD length = kCanonicalUrlCapacity;
    if (!InternetCanonicalizeUrlW(KeepEncodedZerosVisible(url, escaped), canonical, &length, ICU_DECODE))
        ThrowLastError();
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

bool IsUrlAllowed(const wchar_t* url)
{
    try {
        return IsUrlAllowed(GetFilterListStore(), url);
    } catch (const CHResultException& e) {
        // The list is locked longer than a browser thread may wait (a writer
        // at work, or a process that keeps the lock), and the index this
        // process has was not current: the URL loads rather than the page
        // hanging.
        if (e.GetHResult() != kLockTimedOut)
            throw;
        return true;
    }
}

bool IsUrlAllowed(CSharedStore& filterList, const wchar_t* url)
{
    return IsUrlAllowed(filterList, url, nullptr);
}

bool IsUrlAllowed(CSharedStore& filterList, const wchar_t* url, std::vector<std::wstring>* deciding)
{
    if (!url)
        ThrowHResult(E_POINTER);
    if (deciding)
        deciding->clear();
    // The filters see the URL with its %XX sequences decoded. This happens
    // before any lock is taken: it needs no store.
    wchar_t canonical[kCanonicalUrlCapacity];
    CanonicalizeUrl(url, canonical);
    const CRegexTimeBound bound(kVerdictRegexMs);
    if (!deciding) {
        if (CFilterIndexStore* index = CFilterIndexStore::Of(filterList)) {
            CFilterIndexStore::CUse use(*index);
            if (const CFilterIndex* current = use.Get()) {
                if (const std::optional<bool> allowed = current->IsAllowed(canonical, &bound))
                    return *allowed;
            }
        }
    }
    return WalkList(filterList, canonical, bound, deciding);
}

CUrlCharacterPairs::CUrlCharacterPairs(const wchar_t* url) noexcept : m_bits{}
{
    for (const wchar_t* p = url; p[0] != L'\0' && p[1] != L'\0'; ++p) {
        unsigned key = Key(p[0], p[1]);
        m_bits[key >> 6] |= std::uint64_t{1} << (key & 63);
    }
}

unsigned CUrlCharacterPairs::Key(wchar_t first, wchar_t second) noexcept
{
    // Characters beyond 8 bits share keys: more "may match", never fewer.
    return (static_cast<unsigned>(FoldAscii(first)) & 0xFF) << 8 | (static_cast<unsigned>(FoldAscii(second)) & 0xFF);
}

bool CUrlCharacterPairs::MayMatch(const wchar_t* pattern) const noexcept
{
    // Every pair of adjacent literal characters must be in the URL. A
    // character after a "\" is literal too, whichever way that "\" is read,
    // so only the three special characters themselves break a pair.
    for (const wchar_t* p = pattern; p[0] != L'\0'; ++p) {
        if (IsLiteral(p[0]) && IsLiteral(p[1]) && !Has(Key(p[0], p[1])))
            return false;
    }
    return true;
}
