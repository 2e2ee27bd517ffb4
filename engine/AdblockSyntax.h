#pragma once
// One line of an Adblock list (the syntax EasyList and its peers are written
// in), as the compiled lists use it: network filters are parsed into
// CNetworkFilter; comments, the "[Adblock ...]" header and cosmetic lines are
// recognised and only counted; a filter with an option this engine does not
// apply is left out whole (applying part of it would block what its authors
// never meant) and counted under the option's name.
//
// Lines are UTF-8 text. Every function here is pure and thread-safe.

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "engine/RequestContext.h"

enum class CAdblockLineKind
{
    Empty,
    Comment,   // "! ...", "# ..." (hosts files), "[Adblock Plus 2.0]"
    Cosmetic,  // "##", "#@#", "#?#", "#$#", "#%#" and their exception forms
    Network,   // a filter the engine applies
    Skipped,   // a network filter with an unsupported option (see option)
    Invalid,   // a network filter that cannot be read (see option: the reason)
};

// Which requests a filter applies to by the relation of their host and the
// page's.
enum class CAdblockParty : std::uint8_t
{
    Any,
    Third,  // "$third-party", "$3p", "$~first-party"
    First,  // "$~third-party", "$1p", "$first-party"
};

// One entry of "$domain=": a host name (matches that host and its
// subdomains) or an entity "name.*" (stored without ".*": matches any host
// whose name without its public suffix is, or ends in, "." name).
struct CAdblockDomain
{
    std::string name;  // lower case
    bool negated = false;
    bool entity = false;
};

// The marks of one entry of a site list ("$domain=", or the sites before
// "##"): a leading "~" negates it, a trailing ".*" makes it an entity name.
// Returns the name that is left, as written (case and characters unchecked).
std::string_view ReadDomainMarks(std::string_view entry, CAdblockDomain& domain) noexcept;

struct CNetworkFilter
{
    // The URL pattern without its anchors: "*" any run, "^" a separator
    // (anything but a letter, digit or one of "_-.%", or the URL's end);
    // every other byte stands for itself. Lower case unless matchCase. For a
    // regular expression: its body (letters outside escapes in lower case
    // unless matchCase).
    std::string pattern;
    bool exception = false;   // "@@"
    bool regex = false;       // "/body/"
    bool anchorHost = false;  // "||": starts at a label boundary of the host
    bool anchorStart = false; // "|" first
    bool anchorEnd = false;   // "|" last
    bool matchCase = false;
    bool important = false;
    bool badfilter = false;
    CAdblockParty party = CAdblockParty::Any;
    std::uint16_t types = kRequestAnyResource;  // RequestType mask, never 0
    std::vector<CAdblockDomain> domains;

    // Same filter apart from "$badfilter" (what a badfilter line cancels).
    bool SameAs(const CNetworkFilter& other) const;
};

struct CAdblockLine
{
    CAdblockLineKind kind = CAdblockLineKind::Empty;
    CNetworkFilter filter;  // Network only
    std::string option;     // Skipped: the first unsupported option's name; Invalid: why
};

// Lines longer than this are not read as filters (Invalid): a pattern this
// long is no real filter and would only cost time at every match.
constexpr std::size_t kMaxAdblockPattern = 8192;

// Parses one line (without its line break; surrounding white space is
// ignored). Hosts-file lines ("0.0.0.0 host", "127.0.0.1 host") give
// "||host^". Throws std::bad_alloc only.
CAdblockLine ParseAdblockLine(std::string_view line);

// What a list holds, as a user is told after adding it.
struct CAdblockCounts
{
    std::size_t lines = 0;
    std::size_t network = 0;
    std::size_t cosmetic = 0;
    std::size_t comments = 0;  // and empty lines
    std::size_t invalid = 0;
    std::size_t skipped = 0;
    std::map<std::string, std::size_t> skippedOptions;  // option name -> filters left out
    std::map<std::string, std::size_t> invalidReasons;
    void Add(const CAdblockLine& line);
};

// Calls `visit(lineNumber, line)` for every line of `text` (1-based; "\n",
// "\r\n" and "\r" end lines; a UTF-8 byte order mark is skipped).
template <typename Visit>
void ForEachAdblockLine(std::string_view text, Visit&& visit)
{
    if (text.substr(0, 3) == "\xEF\xBB\xBF")
        text.remove_prefix(3);
    std::uint32_t number = 0;
    while (!text.empty())
    {
        std::size_t end = text.find_first_of("\r\n");
        std::string_view line = text.substr(0, end);
        visit(++number, line);
        if (end == std::string_view::npos)
            break;
        text.remove_prefix(end + (text.substr(end, 2) == "\r\n" ? 2 : 1));
    }
}

// The counts of a whole text, line by line as the image compiler counts
// them. Throws std::bad_alloc only.
CAdblockCounts CountAdblockLines(std::string_view text);
