#pragma once
// The Adblock filter-list text format: what export writes and which subset
// import understands.
//
// File written by export (UTF-8, no byte-order mark):
//   [Adblock]
//   ! Exported from Quellan at 2008-09-01T07:24:00+02:00
//   one Adblock line per valid filter text, in order
// Export ends every line with "\n" only: the file stream (CFile) writes CR LF.
// Over any other stream the caller gets LF line ends and must add the CR
// itself if it wants the file's exact bytes.
//
// Import: the first line must be an Adblock header (IsAdblockHeader), or the
// integer 5 is thrown before anything is added. Every later line goes through
// AdblockLineToFilter. CR bytes anywhere are dropped here, whether or not the
// stream already dropped them, so any std::istream can be read.
//
// Plain functions on the calling thread; no state between calls.

#include <windows.h>

#include <cstddef>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "engine/FilterRule.h"

// The integer thrown when the first line is not an Adblock header.
constexpr int kMissingAdblockHeader = 5;

// True when the whole line matches "^\[Adblock.*?\]$" (ECMAScript, ignoring
// ASCII letter case): "[", "Adblock" in any case, anything but CR or LF, and
// "]" as the last character. Checked by hand: a regular expression on a
// line of outside text recurses once per character and overflows the stack
// on a long first line (a list saved with CR-only line ends is one line).
// Linear time, no allocation.
bool IsAdblockHeader(const std::string& line) noexcept;

// The Adblock line for a rule, UTF-8, without line end, such that
// AdblockLineToFilter gives back the same record; nothing when the format
// cannot carry the rule. Wildcards turn their anchoring into "|" anchors
// ("banner" -> "|banner|", "*banner*" -> "banner", the empty body -> "||").
// A body that would read back otherwise (one that begins like a marker once
// its stars are gone, "*@@*", "*!a*", "*/a/*", "*|a*"; stars only; leading
// or trailing runs of several stars) is written
// anchored at both ends with its stars, "|*@@*|", which reads back as it is.
// Nothing is returned for a wildcard holding "$", an expression holding
// "/$" (both read as options) or a body that is not valid UTF-16. Throws the
// HRESULT exception when the body cannot be converted.
std::optional<std::string> TryFilterToAdblockLine(const FilterRule& rule);

// Converts one line (no line end, no CR). True and a new record (caller
// frees it) for a filter; false, *rule untouched, for a line to ignore: empty,
// "!" comment, "$" options, a body longer than kMaxFilterBodyLength, or a NUL
// byte anywhere (the filter text ends at a NUL while its anchors come from
// the whole line: "@@", NUL, "x" would become "%*", which allows everything).
// A wildcard body loses one "|" at each end as an anchor and gets "*" where
// it has none; the lone body "|" counts as both anchors and becomes the empty
// wildcard. Bodies are not validated. Throws the HRESULT exception when the
// body is not convertible UTF-8.
bool AdblockLineToFilter(const std::string& line, FilterRule** rule);

// Local time and offset from UTC, 25 characters: 2008-09-01T07:24:00+02:00.
// Throws the HRESULT exception when the date or time cannot be formatted.
std::string FormatExportTimestamp();

// Minutes to add to local time to get UTC, from GetTimeZoneInformation's
// structure and return value: Bias, plus StandardBias in standard time or
// DaylightBias in daylight time.
LONG EffectiveUtcBias(const TIME_ZONE_INFORMATION& zone, DWORD zoneId);
// "+hh:mm" / "-hh:mm" for a bias: "-" when the bias is positive (local time
// behind UTC), "+" otherwise, so UTC is "+00:00".
std::string FormatUtcOffset(LONG bias);

struct CAdblockExportResult
{
    std::size_t written = 0;            // filter lines written
    std::size_t invalid = 0;            // texts that are not filter syntax
    std::vector<std::wstring> leftOut;  // filters the format cannot carry
};

// Export core: writes the header, the comment with `timestamp`, and a line
// for every text that ParseFilter accepts and the format can carry (see
// TryFilterToAdblockLine); the others are counted and left out, so that the
// file never holds a line that imports as another filter. Texts come from
// textAt(0) .. textAt(count - 1).
CAdblockExportResult WriteAdblockList(std::ostream& out, std::size_t count,
                                      const std::function<std::wstring(std::size_t)>& textAt,
                                      const std::string& timestamp);
CAdblockExportResult WriteAdblockList(std::ostream& out, const std::vector<std::wstring>& texts);

struct CAdblockImportResult
{
    std::size_t added = 0;     // filters handed to the receiver
    std::size_t ignored = 0;   // empty lines and "!" comments
    std::size_t skipped = 0;   // lines with "$" options, bodies too long, NUL bytes
};

// Import core: checks the header (throws kMissingAdblockHeader; a first line
// that cannot be read counts as missing), then hands the internal text of
// every filter line to `add`, in file order, until the end of the stream. A
// read that fails after the header throws what the stream buffer threw
// (std::ios_base::failure if it threw nothing of its own). What `add` throws
// propagates; filters already added stay.
CAdblockImportResult ReadAdblockList(std::istream& in, const std::function<void(const std::wstring&)>& add);
