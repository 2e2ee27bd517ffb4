#include "verdict/UrlVerdict.h"

#include "com/Error.h"
#include "engine/FilterIndex.h"
#include "engine/FilterRule.h"
#include "storage/FilterIndexStore.h"
#include "storage/FilterListStore.h"

namespace {

inline bool IsLiteral(wchar_t c) noexcept
{
    return c != L'\0' && c != L'*' && c != L'?' && c != L'\\';
}

// The list walk: every record in list order, in place in the shared view,
// under the list's read access.
bool WalkList(CSharedStore& filterList, const wchar_t* canonical, std::vector<std::wstring>* deciding)
{
    // Most wildcard filters share no pair of adjacent characters with the URL;
    // they are ruled out without running the matcher.
    const CUrlCharacterPairs pairs(canonical);

    // A matching exception settles the answer at once.
    CStoreReader reader(filterList);
    bool allowed = true;
    CFilterRecordCursor cursor(reader);
    while (const FilterRule* rule = cursor.Next()) {
        if (!rule->isRegex && !pairs.MayMatch(rule->body))
            continue;
        if (!MatchFilter(*rule, canonical))
            continue;
        if (rule->isException) {
            if (deciding)
                deciding->assign(1, FilterToText(*rule));
            return true;
        }
        allowed = false;
        if (deciding)
            deciding->push_back(FilterToText(*rule));
    }
    return allowed;
}

}  // namespace

bool IsUrlAllowed(const wchar_t* url)
{
    return IsUrlAllowed(GetFilterListStore(), url);
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

    if (!deciding) {
        if (CFilterIndexStore* index = CFilterIndexStore::Of(filterList)) {
            CFilterIndexStore::CUse use(*index);
            if (const CFilterIndex* current = use.Get()) {
                if (const std::optional<bool> allowed = current->IsAllowed(canonical))
                    return *allowed;
            }
        }
    }
    return WalkList(filterList, canonical, deciding);
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
