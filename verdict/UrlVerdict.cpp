#include "verdict/UrlVerdict.h"

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

// What the records appended after the index's list say about a URL: 1 when
// an exception matches (the URL loads whatever else matches), -1 when only
// block records do, 0 when none matches. `tail` is a private copy.
int MatchTail(const BYTE* tail, DWORD size, const wchar_t* canonical, const CRegexTimeBound& bound)
{
    const CUrlCharacterPairs pairs(canonical);
    int result = 0;
    CFilterRecordCursor cursor(tail, size);
    while (const FilterRule* rule = cursor.Next()) {
        if (!rule->isRegex && !pairs.MayMatch(rule->body))
            continue;
        if (!MatchFilter(*rule, canonical, &bound))
            continue;
        if (rule->isException)
            return 1;
        result = -1;
    }
    return result;
}

}  // namespace

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
                // Blocked when a block record of either part matches and no
                // exception of either part does.
                const int tail = use.GetTailSize() ? MatchTail(use.GetTail(), use.GetTailSize(), canonical, bound) : 0;
                if (tail > 0)
                    return true;
                if (const std::optional<bool> allowed = current->IsAllowed(canonical, &bound, tail < 0))
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
