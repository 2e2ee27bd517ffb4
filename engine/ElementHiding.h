#pragma once
// Element hiding: the "##" lines of Adblock lists, turned into the style
// sheets a page of a given host gets, as "selector{display:none !important}"
// rules its browser can apply.
//
// Internet Explorer 7 and 8 read only part of today's selectors, and one
// selector a browser rejects drops the whole rule it is grouped in. So every
// selector is checked here against what the page's browser accepts and gets
// a rule of its own; what no version accepts, and what needs more than a
// style sheet (procedural selectors, scriptlets, HTML filters), is left out
// and counted by kind.
//
// Which selectors each version accepts (Microsoft's "CSS Compatibility and
// Internet Explorer" tables):
//   IE 7: "*", type, ".class", "#id", descendant, child ">", adjacent "+",
//         general sibling "~", "[a]", "[a=v]", "[a~=v]", "[a|=v]", "[a^=v]",
//         "[a$=v]", "[a*=v]", ":first-child", ":link", ":visited", ":hover",
//         ":active".
//   IE 8 adds ":focus" and ":lang(c)".
//   Neither: ":last-child", ":not()", ":nth-*", ":only-*", ":empty", ":root",
//   ":target", ":checked", ":enabled", ":disabled", "::" pseudo-elements,
//   namespaces, attribute case flags.
// The combinators, attribute selectors and ":first-child" work in standards
// mode only; in quirks mode the browser ignores such a rule, which costs
// nothing because no other rule shares it.
//
// All functions and CElementHiding's methods are thread-safe.

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "com/Sync.h"
#include "engine/AdblockSyntax.h"

// The selector language of the page's browser (its document mode: IE 8 in
// compatibility view reads CSS as IE 7 does).
enum class CCssLevel : std::uint8_t
{
    IE7 = 7,
    IE8 = 8,
};

// The oldest level that accepts `selector` (UTF-8), or none with the reason.
struct CSelectorCheck
{
    bool accepted = false;
    CCssLevel level = CCssLevel::IE7;
    const char* reason = "";  // when not accepted: a short English phrase
};
CSelectorCheck CheckSelector(std::string_view selector) noexcept;

// Selectors longer than this are left out: no real list needs them, and
// every page would pay for them.
constexpr std::size_t kMaxSelector = 4096;

enum class CHidingLineKind
{
    NotHiding,      // not an element-hiding line (network filter, comment...)
    Hide,           // "domains##selector"
    Exception,      // "domains#@#selector"
    PageException,  // "@@||host^$generichide" / "$elemhide" / "$document"
    LeftOut,        // see reason
};

// Page exception flags.
constexpr std::uint8_t kGenericHide = 1;  // no generic rules on the page
constexpr std::uint8_t kElemHide = 2;     // no rules at all on the page

struct CHidingSelector
{
    std::string text;
    CCssLevel level = CCssLevel::IE7;
};

struct CHidingLine
{
    CHidingLineKind kind = CHidingLineKind::NotHiding;
    // Hide, Exception: the accepted selectors of the line's list ("a, b"
    // becomes two, so that one the browser rejects cannot take the other
    // with it). A line with none left is LeftOut.
    std::vector<CHidingSelector> selectors;
    std::vector<CAdblockDomain> domains;  // Hide, Exception; PageException: the one host
    std::uint8_t pageFlags = 0;           // PageException
    std::string reason;                   // LeftOut
};

// Reads one list line (surrounding white space ignored). Throws
// std::bad_alloc only.
CHidingLine ParseHidingLine(std::string_view line);

struct CHidingCounts
{
    std::size_t hide = 0;
    std::size_t ie8Only = 0;  // of hide: selectors IE 7 rejects
    std::size_t exceptions = 0;
    std::size_t pageExceptions = 0;
    std::map<std::string, std::size_t> leftOut;  // reason -> lines
};

// Internet Explorer 6 to 9 number a rule with a 12-bit field and a style
// sheet with 5-bit fields (Microsoft KB 262161, "Stylesheet limits in
// Internet Explorer"): a sheet applies at most 4,095 selectors, and a page
// takes at most 31 sheets (document.createStyleSheet fails beyond). The
// rules of one page use at most kHidingSheetBudget sheets, leaving the rest
// to the page's own and to the behavior style.
constexpr std::size_t kMaxRulesPerSheet = 4095;
constexpr std::size_t kMaxSheetsPerPage = 31;
constexpr std::size_t kHidingSheetBudget = 20;

// What one page gets: style sheet texts in order (the generic ones are
// shared by every page that takes them whole).
struct CHidingStyle
{
    std::vector<std::shared_ptr<const std::string>> sheets;
    std::size_t rules = 0;
    std::size_t siteRules = 0;  // of rules: the host's own
    std::size_t overBudget = 0; // rules left out to respect the sheet limits
    std::vector<std::size_t> sheetRules;  // rules of each sheet
};

// One list's text (UTF-8, as stored).
struct CHidingListText
{
    std::string_view name;
    std::string_view text;
};

// The element-hiding rules of a set of lists, kept in memory. Building
// prepares the generic sheets of both levels; StyleFor composes a host's
// style once and caches it.
class CElementHiding
{
public:
    // Throws std::bad_alloc only: bad lines are counted, never thrown.
    explicit CElementHiding(const std::vector<CHidingListText>& lists);
    CElementHiding(const CElementHiding&) = delete;
    CElementHiding& operator=(const CElementHiding&) = delete;

    // The style of a page of `host` (lower-case name, no port). Throws
    // std::bad_alloc only.
    std::shared_ptr<const CHidingStyle> StyleFor(std::string_view host, CCssLevel level) const;

    const CHidingCounts& GetCounts() const noexcept { return m_counts; }
    std::size_t GetGenericRuleCount(CCssLevel level) const noexcept;

private:
    struct CSiteRule
    {
        std::string selector;  // empty: undone by a generic exception
        std::uint32_t domains; // index into m_domains
        CCssLevel level;
        bool exception;
    };
    struct CGenericSet
    {
        std::vector<std::string> selectors;
        std::vector<std::shared_ptr<const std::string>> sheets;  // at most kMaxRulesPerSheet selectors each
        std::vector<std::size_t> sheetStart;  // index of each sheet's first selector, and the end
        std::unordered_map<std::string_view, std::uint32_t> sheetOf;
    };

    std::shared_ptr<const CHidingStyle> Compose(std::string_view host, CCssLevel level) const;
    void Collect(std::string_view host, std::vector<std::uint32_t>& rules) const;
    std::uint8_t PageFlags(std::string_view host) const;
    const CGenericSet& Generic(CCssLevel level) const noexcept { return *m_generic[level == CCssLevel::IE8]; }

    CHidingCounts m_counts;
    // IE 7, IE 8 (the same set when no generic selector needs IE 8). The
    // selectors' views in sheetOf point into the set's own strings.
    std::shared_ptr<const CGenericSet> m_generic[2];
    std::vector<CSiteRule> m_site;                 // site rules, site exceptions, negated-only rules
    std::vector<std::vector<CAdblockDomain>> m_domains;
    std::vector<std::uint32_t> m_everywhereBut;    // of m_site: rules with only "~" domains
    std::unordered_map<std::string, std::vector<std::uint32_t>> m_byHost;
    std::unordered_map<std::string, std::vector<std::uint32_t>> m_byEntity;
    std::unordered_map<std::string, std::uint8_t> m_pageExceptions;

    mutable CCriticalSection m_cacheLock;
    mutable std::unordered_map<std::string, std::shared_ptr<const CHidingStyle>> m_cache;
};

// Hosts whose styles stay cached; past this the cache starts over.
constexpr std::size_t kHidingCacheHosts = 512;
