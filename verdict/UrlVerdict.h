#pragma once
// The one verdict on a URL: may it load, judged by the user's filter list?
//
// A URL is blocked when at least one blocking rule matches it and no exception
// rule does, whatever their order. Settings (SessionDisabled and the others)
// are the caller's business.
//
// The filter list's index (storage/FilterIndexStore.h) answers when it is
// current, without waiting on any lock; otherwise the records are walked in
// place under the list's read access. Both give the same answer.

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "verdict/CanonicalUrl.h"

class CSharedStore;

// The time the regular expressions of one verdict may take together. Once it
// is spent, the verdict's remaining expressions count as not matching, as an
// expression that cannot be searched within its own limits already does:
// the answer comes in time, and the list's other filters still block (one
// hostile expression does not switch blocking off). An exception written as
// a regular expression may then go unseen for that one URL.
constexpr DWORD kVerdictRegexMs = 50;

// Against the process's filter list store (GetFilterListStore). true: the URL
// may load; false: blocked. Throws CHResultException when no judgement could
// be made: the URL cannot be canonicalized (for instance its canonical form
// would exceed 2083 characters), or the store cannot be opened or read.
// A list locked longer than a browser thread waits (kShortWaitMs) allows the
// URL when the index could not answer.
// A caller may hold a reader of the settings store, never of the filter list.
bool IsUrlAllowed(const wchar_t* url);

// The same against the given filter list store; a list locked too long
// throws kLockTimedOut.
bool IsUrlAllowed(CSharedStore& filterList, const wchar_t* url);

// The same, and the text of the filters that decided, for a person to read:
// the matching exception when one allowed the URL, otherwise every matching
// blocking filter in list order (none when nothing matched). *deciding is
// replaced; null skips the collection. The explanation always comes from a
// walk of the list.
bool IsUrlAllowed(CSharedStore& filterList, const wchar_t* url, std::vector<std::wstring>* deciding);

// The pairs of adjacent characters of one URL, ASCII letters folded, as a
// bit set: a cheap test that rules out most wildcard filters without running
// the matcher. Every two adjacent literal characters of a wildcard pattern
// (none of them "*", "?" or a backslash) appear side by side in any text
// it matches.
// Used by the verdict on every wildcard record; 8 KiB, no allocation.
class CUrlCharacterPairs
{
public:
    explicit CUrlCharacterPairs(const wchar_t* url) noexcept;
    // False only when the wildcard pattern cannot match the URL: MatchWildcard
    // would return false. True says nothing.
    bool MayMatch(const wchar_t* pattern) const noexcept;

private:
    static unsigned Key(wchar_t first, wchar_t second) noexcept;
    bool Has(unsigned key) const noexcept { return (m_bits[key >> 6] >> (key & 63)) & 1; }

    std::uint64_t m_bits[65536 / 64];
};
