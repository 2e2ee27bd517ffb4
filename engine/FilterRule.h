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
