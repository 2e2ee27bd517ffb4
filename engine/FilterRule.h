#pragma once
// The filter rule record and the internal filter syntax.
//
// Internal filter text: optional "%" (exception), then "/" body "/" (regular
// expression, searched anywhere, case-sensitive) or a wildcard body (matched
// against the whole URL, ignoring ASCII letter case).
//
// FilterRule is a storage format: storage.bin is these records back to back,
// so the layout below is fixed (little-endian, no padding).

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

struct FilterRule
{
    BYTE isRegex;      // 1: "/body/" form
    BYTE isException;  // 1: the text began with "%"
    WORD length;       // UTF-16 code units in body
    WCHAR body[1];     // length units, then a 0 terminator
};
static_assert(offsetof(FilterRule, isRegex) == 0);
static_assert(offsetof(FilterRule, isException) == 1);
static_assert(offsetof(FilterRule, length) == 2);
static_assert(offsetof(FilterRule, body) == 4);

// A body has at most this many code units: length is 16 bits wide.
constexpr std::size_t kMaxFilterBodyLength = 0xFFFF;

// Bytes occupied by a record with a body of `length` units: header, body and
// terminator.
constexpr std::size_t FilterRecordSize(std::size_t length) noexcept
{
    return 6 + 2 * length;
}
inline std::size_t FilterRecordSize(const FilterRule& rule) noexcept
{
    return FilterRecordSize(rule.length);
}

// Owner of a record made by ParseFilter or AdblockLineToFilter (malloc'd,
// released with free).
struct CFreeDeleter
{
    void operator()(void* p) const noexcept { std::free(p); }
};
using CFilterRulePtr = std::unique_ptr<FilterRule, CFreeDeleter>;

// The wildcard matcher's letter-case folding, shared with the URL verdict's
// quick check: towupper in the C locale, which is what the process runs in,
// folds only the ASCII letters. Doing it by hand keeps the result
// independent of any locale a host application might have set.
inline wchar_t FoldAscii(wchar_t c) noexcept
{
    return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - (L'a' - L'A')) : c;
}

// The value of one hexadecimal digit, either case; -1 for any other
// character.
inline int HexDigitValue(wchar_t c) noexcept
{
    if (c >= L'0' && c <= L'9')
        return c - L'0';
    if (c >= L'a' && c <= L'f')
        return c - L'a' + 10;
    if (c >= L'A' && c <= L'F')
        return c - L'A' + 10;
    return -1;
}

// Parses internal filter text. True and a new record (owned by the caller,
// released with free) for valid syntax; false, *rule untouched, for a text
// that contains CR or LF or whose body exceeds kMaxFilterBodyLength.
// Throws std::bad_alloc.
bool ParseFilter(const wchar_t* text, FilterRule** rule);

// Inverse of ParseFilter: "%" if exception, "/" body "/" or the body.
std::wstring FilterToText(const FilterRule& rule);

// Null for a valid wildcard body, else the message
// "the expression contains an invalid escape sequence".
const wchar_t* CheckWildcard(const wchar_t* body);

// Whole-text wildcard match, ASCII case-insensitive: "*" any run, "?" one
// character, "\" makes the next pattern character literal. A "\" that ends
// the pattern (CheckWildcard refuses it, import can store it) matches a
// literal backslash. Allocates nothing; cost at most pattern x text length.
bool MatchWildcard(const wchar_t* pattern, const wchar_t* text);

// True when the rule matches the (canonical) URL. A regular expression that
// does not compile, or whose search cannot complete safely, does not match
// (see engine/RegexSearch.h for the limits, and for `bound`). Throws
// std::bad_alloc.
class CRegexTimeBound;
bool MatchFilter(const FilterRule& rule, const wchar_t* url, const CRegexTimeBound* bound = nullptr);

// English text for a regular-expression error code (0 to 14; any other code
// gets the text of 13, the general parse error).
const wchar_t* RegexErrorText(int code);
