#include "engine/ElementHiding.h"

#include <algorithm>

#include "engine/PublicSuffix.h"

namespace {

constexpr std::size_t kMaxLine = 65536;
constexpr std::size_t kMaxHost = 253;

char Lower(char c) noexcept
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool IsSpace(char c) noexcept
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
}

std::string_view Trim(std::string_view s) noexcept
{
    while (!s.empty() && IsSpace(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && IsSpace(s.back()))
        s.remove_suffix(1);
    return s;
}

bool EqualsNoCase(std::string_view a, std::string_view b) noexcept
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (Lower(a[i]) != Lower(b[i]))
            return false;
    return true;
}

// A checked walk over one selector. Identifiers follow CSS 2.1 (letters,
// digits, "_", "-", any non-ASCII character); escapes are refused, as the
// old parsers read them differently from today's.
class CSelectorReader
{
public:
    explicit CSelectorReader(std::string_view text) noexcept : m_text(text) {}

    CSelectorCheck Read() noexcept
    {
        if (m_text.empty())
            return Fail("empty");
        if (m_text.size() > kMaxSelector)
            return Fail("too long");
        if (!ValidUtf8())
            return Fail("not UTF-8");
        SkipSpace();
        if (!Compound())
            return Fail(m_reason);
        for (;;)
        {
            bool space = SkipSpace();
            if (AtEnd())
                break;
            char c = m_text[m_at];
            if (c == '>' || c == '+' || c == '~')
            {
                ++m_at;
                SkipSpace();
            }
            else if (!space)
                return Fail(c == ',' ? "selector list" : "unexpected character");
            if (!Compound())
                return Fail(m_reason);
        }
        CSelectorCheck check;
        check.accepted = true;
        check.level = m_level;
        return check;
    }

private:
    static CSelectorCheck Fail(const char* reason) noexcept
    {
        CSelectorCheck check;
        check.reason = reason;
        return check;
    }
    bool AtEnd() const noexcept { return m_at >= m_text.size(); }
    bool SkipSpace() noexcept
    {
        std::size_t start = m_at;
        while (!AtEnd() && IsSpace(m_text[m_at]))
            ++m_at;
        return m_at != start;
    }
    static bool NameChar(unsigned char c) noexcept
    {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
               c == '-' || c >= 0x80;
    }
    bool ValidUtf8() const noexcept
    {
        for (std::size_t i = 0; i < m_text.size();)
        {
            unsigned char c = static_cast<unsigned char>(m_text[i]);
            std::size_t n = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : 9;
            if (n == 9 || (n == 1 && c < 0xC2) || i + n >= m_text.size() + (n == 0 ? 1 : 0))
                return false;
            if (c < 0x20 && !IsSpace(static_cast<char>(c)))
                return false;
            for (std::size_t k = 1; k <= n; ++k)
                if ((static_cast<unsigned char>(m_text[i + k]) & 0xC0) != 0x80)
                    return false;
            i += n + 1;
        }
        return true;
    }
    // A name ("-"? start char, name chars); `identifier` requires the start
    // char not to be a digit or a second "-".
    bool Name(bool identifier, std::string_view* out = nullptr) noexcept
    {
        std::size_t start = m_at;
        if (identifier && !AtEnd() && m_text[m_at] == '-')
            ++m_at;
        if (AtEnd() || !NameChar(static_cast<unsigned char>(m_text[m_at])) ||
            (identifier && ((m_text[m_at] >= '0' && m_text[m_at] <= '9') || m_text[m_at] == '-')))
        {
            m_reason = !AtEnd() && m_text[m_at] == '\\' ? "escape" : "bad name";
            return false;
        }
        while (!AtEnd() && NameChar(static_cast<unsigned char>(m_text[m_at])))
            ++m_at;
        if (!AtEnd() && m_text[m_at] == '\\')
        {
            m_reason = "escape";
            return false;
        }
        if (out)
            *out = m_text.substr(start, m_at - start);
        return true;
    }
    bool String() noexcept
    {
        char quote = m_text[m_at++];
        while (!AtEnd() && m_text[m_at] != quote)
        {
            char c = m_text[m_at++];
            if (c == '\\' || c == '\n' || c == '\r' || c == '\f')
            {
                m_reason = c == '\\' ? "escape" : "bad string";
                return false;
            }
        }
        if (AtEnd())
        {
            m_reason = "bad string";
            return false;
        }
        ++m_at;
        return true;
    }
    bool Attribute() noexcept
    {
        ++m_at;  // '['
        SkipSpace();
        if (!Name(true))
            return false;
        SkipSpace();
        if (!AtEnd() && m_text[m_at] == '|' && (m_at + 1 >= m_text.size() || m_text[m_at + 1] != '='))
        {
            m_reason = "namespace";
            return false;
        }
        if (!AtEnd() && m_text[m_at] != ']')
        {
            char op = m_text[m_at];
            if (op != '=')
            {
                if (std::string_view("~|^$*").find(op) == std::string_view::npos || m_at + 1 >= m_text.size() ||
                    m_text[m_at + 1] != '=')
                {
                    m_reason = "bad attribute";
                    return false;
                }
                ++m_at;
            }
            ++m_at;
            SkipSpace();
            if (AtEnd())
            {
                m_reason = "bad attribute";
                return false;
            }
            if (m_text[m_at] == '"' || m_text[m_at] == '\'')
            {
                if (!String())
                    return false;
            }
            else if (!Name(true))
                return false;
            SkipSpace();
        }
        if (AtEnd() || m_text[m_at] != ']')
        {
            m_reason = "attribute flag";
            return false;
        }
        ++m_at;
        return true;
    }
    bool Pseudo() noexcept
    {
        ++m_at;  // ':'
        if (!AtEnd() && m_text[m_at] == ':')
        {
            m_reason = "pseudo-element";
            return false;
        }
        std::string_view name;
        if (!Name(true, &name))
            return false;
        for (std::string_view ie7 : {"first-child", "link", "visited", "hover", "active"})
            if (EqualsNoCase(name, ie7))
                return true;
        if (EqualsNoCase(name, "focus"))
        {
            m_level = CCssLevel::IE8;
            return true;
        }
        if (EqualsNoCase(name, "lang") && !AtEnd() && m_text[m_at] == '(')
        {
            ++m_at;
            SkipSpace();
            if (!Name(true))
                return false;
            SkipSpace();
            if (AtEnd() || m_text[m_at] != ')')
            {
                m_reason = "bad :lang";
                return false;
            }
            ++m_at;
            m_level = CCssLevel::IE8;
            return true;
        }
        for (std::string_view element : {"before", "after", "first-line", "first-letter"})
            if (EqualsNoCase(name, element))
            {
                m_reason = "pseudo-element";
                return false;
            }
        m_reason = "pseudo-class";
        return false;
    }
    bool Compound() noexcept
    {
        std::size_t start = m_at;
        if (!AtEnd() && m_text[m_at] == '*')
            ++m_at;
        else if (!AtEnd() && NameChar(static_cast<unsigned char>(m_text[m_at])) && !Name(true))
            return false;
        if (!AtEnd() && m_text[m_at] == '|')
        {
            m_reason = "namespace";
            return false;
        }
        while (!AtEnd())
        {
            char c = m_text[m_at];
            bool ok = true;
            if (c == '.')
                ++m_at, ok = Name(true);
            else if (c == '#')
                ++m_at, ok = Name(false);
            else if (c == '[')
                ok = Attribute();
            else if (c == ':')
                ok = Pseudo();
            else
                break;
            if (!ok)
                return false;
        }
        if (m_at == start)
        {
            m_reason = AtEnd() ? "dangling combinator" : m_text[m_at] == '\\' ? "escape" : "unexpected character";
            return false;
        }
        return true;
    }

    std::string_view m_text;
    std::size_t m_at = 0;
    CCssLevel m_level = CCssLevel::IE7;
    const char* m_reason = "";
};

// A procedural or style-changing pseudo-class of the other browsers'
// blockers, outside quoted strings: these need script, not a style sheet.
bool IsProcedural(std::string_view selector) noexcept
{
    static constexpr std::string_view kNames[] = {
        ":has(", ":has-text(", ":-abp-", ":xpath(", ":style(", ":remove(", ":matches-css", ":upward(",
        ":min-text-length(", ":watch-attr(", ":matches-path(", ":matches-attr(", ":matches-prop(",
        ":matches-media(", ":others(", ":if(", ":if-not(", ":nth-ancestor(", ":remove-attr(",
        ":remove-class(", ":contains(", ":is(", ":where(",
    };
    char quote = 0;
    for (std::size_t i = 0; i < selector.size(); ++i)
    {
        char c = selector[i];
        if (quote)
        {
            quote = c == quote ? 0 : quote;
            continue;
        }
        if (c == '"' || c == '\'')
            quote = c;
        else if (c == ':')
            for (std::string_view name : kNames)
                if (EqualsNoCase(selector.substr(i, name.size()), name))
                    return true;
    }
    return false;
}

bool IsHostChar(char c) noexcept
{
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' ||
           static_cast<unsigned char>(c) >= 0x80;
}

// "a.com,~b.a.com,google.*": false when an entry is not a host name or an
// entity (regular expressions and paths of other blockers included).
bool ParseDomains(std::string_view text, std::vector<CAdblockDomain>& out)
{
    while (!text.empty())
    {
        std::size_t comma = text.find(',');
        std::string_view entry = Trim(text.substr(0, comma));
        text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
        CAdblockDomain domain;
        entry = ReadDomainMarks(entry, domain);
        if (entry.empty() || entry.size() > kMaxHost || entry.front() == '.' || entry.back() == '.')
            return false;
        for (char c : entry)
        {
            char l = Lower(c);
            if (!IsHostChar(l))
                return false;
            domain.name += l;
        }
        out.push_back(std::move(domain));
    }
    return true;
}

// Host `host` is `name` or one of its subdomains.
bool HostMatches(std::string_view host, std::string_view name) noexcept
{
    return host.size() >= name.size() && host.substr(host.size() - name.size()) == name &&
           (host.size() == name.size() || host[host.size() - name.size() - 1] == '.');
}

// The host without its public suffix ("www.google" of "www.google.co.uk"),
// for entities; empty when nothing is left.
std::string_view WithoutSuffix(std::string_view host) noexcept
{
    std::size_t suffix = PublicSuffixLength(host);
    return suffix > 0 && suffix < host.size() ? host.substr(0, host.size() - suffix - 1) : std::string_view();
}

// A rule's domains apply to `host` (`entityName`: the host without its
// public suffix): one entry names it (or there are only negated entries)
// and no negated entry does.
bool Applies(std::string_view host, std::string_view entityName, const std::vector<CAdblockDomain>& domains) noexcept
{
    auto matches = [&](const CAdblockDomain& domain) {
        return HostMatches(domain.entity ? entityName : host, domain.name);
    };
    bool included = true;
    for (const CAdblockDomain& domain : domains)
        if (!domain.negated)
            included = false;
    for (const CAdblockDomain& domain : domains)
    {
        if (!matches(domain))
            continue;
        if (domain.negated)
            return false;
        included = true;
    }
    return included;
}

// "@@||host^$generichide": the page exception's host and flags, or false.
bool ParsePageException(std::string_view line, CHidingLine& out)
{
    if (line.substr(0, 2) != "@@")
        return false;
    std::size_t dollar = line.rfind('$');
    if (dollar == std::string_view::npos)
        return false;
    std::uint8_t flags = 0;
    bool other = false;
    std::string_view options = line.substr(dollar + 1);
    while (!options.empty())
    {
        std::size_t comma = options.find(',');
        std::string_view option = Trim(options.substr(0, comma));
        options = comma == std::string_view::npos ? std::string_view() : options.substr(comma + 1);
        if (EqualsNoCase(option, "generichide") || EqualsNoCase(option, "ghide"))
            flags |= kGenericHide;
        else if (EqualsNoCase(option, "elemhide") || EqualsNoCase(option, "ehide") ||
                 EqualsNoCase(option, "document") || EqualsNoCase(option, "doc"))
            flags |= kElemHide;
        else
            other = true;
    }
    if (!flags)
        return false;
    out.kind = CHidingLineKind::LeftOut;
    out.reason = "page exception";
    if (other)
        return true;
    // Only whole hosts: a page's path is not known when its style is made.
    std::string_view pattern = line.substr(2, dollar - 2);
    if (pattern.substr(0, 2) != "||")
        return true;
    pattern.remove_prefix(2);
    for (std::string_view end : {"^|", "^", "/", "|"})
        if (pattern.size() > end.size() && pattern.substr(pattern.size() - end.size()) == end)
        {
            pattern.remove_suffix(end.size());
            break;
        }
    std::vector<CAdblockDomain> host;
    if (pattern.find_first_of(",~*") != std::string_view::npos || !ParseDomains(pattern, host) || host.size() != 1 ||
        host[0].entity)
        return true;
    out.kind = CHidingLineKind::PageException;
    out.reason.clear();
    out.domains = std::move(host);
    out.pageFlags = flags;
    return true;
}

// "a, b[title='x,y']": the selectors of a group, split at commas outside
// strings, brackets and parentheses.
std::vector<std::string_view> SplitGroup(std::string_view group)
{
    std::vector<std::string_view> parts;
    char quote = 0;
    int depth = 0;
    std::size_t start = 0;
    for (std::size_t i = 0; i < group.size(); ++i)
    {
        char c = group[i];
        if (quote)
            quote = c == quote ? 0 : quote;
        else if (c == '"' || c == '\'')
            quote = c;
        else if (c == '[' || c == '(')
            ++depth;
        else if ((c == ']' || c == ')') && depth > 0)
            --depth;
        else if (c == ',' && depth == 0)
        {
            parts.push_back(Trim(group.substr(start, i - start)));
            start = i + 1;
        }
    }
    parts.push_back(Trim(group.substr(start)));
    return parts;
}

constexpr std::string_view kHideDeclaration = "{display:none !important}\n";

void AppendRule(std::string& sheet, std::string_view selector)
{
    sheet.append(selector.data(), selector.size());
    sheet.append(kHideDeclaration.data(), kHideDeclaration.size());
}

}  // namespace

CSelectorCheck CheckSelector(std::string_view selector) noexcept
{
    return CSelectorReader(selector).Read();
}

CHidingLine ParseHidingLine(std::string_view text)
{
    CHidingLine line;
    text = Trim(text);
    if (text.empty() || text.front() == '!' || text.front() == '[')
        return line;
    if (text.size() > kMaxLine)
    {
        line.kind = CHidingLineKind::LeftOut;
        line.reason = "too long";
        return line;
    }
    if (ParsePageException(text, line))
        return line;

    // The first separator: "##", "#@#", "#?#", "#$#", "#%#" and their mixes.
    for (std::size_t at = text.find('#'); at != std::string_view::npos; at = text.find('#', at + 1))
    {
        std::size_t i = at + 1;
        bool exception = i < text.size() && text[i] == '@';
        i += exception;
        char extra = i < text.size() && (text[i] == '$' || text[i] == '%') ? text[i] : 0;
        i += extra != 0;
        bool procedural = i < text.size() && text[i] == '?';
        i += procedural;
        if (i >= text.size() || text[i] != '#')
            continue;
        std::string_view selector = Trim(text.substr(i + 1));
        line.kind = CHidingLineKind::LeftOut;
        if (extra)
            line.reason = "scriptlet";
        else if (procedural)
            line.reason = "procedural";
        else if (selector.substr(0, 1) == "+")
            line.reason = "scriptlet";
        else if (selector.substr(0, 1) == "^")
            line.reason = "html";
        else if (IsProcedural(selector))
            line.reason = "procedural";
        else if (!ParseDomains(text.substr(0, at), line.domains))
            line.reason = "bad domain";
        else
        {
            for (std::string_view part : SplitGroup(selector))
            {
                CSelectorCheck check = CheckSelector(part);
                if (check.accepted)
                    line.selectors.push_back({std::string(part), check.level});
                else if (line.reason.empty())
                    line.reason = std::string("selector: ") + check.reason;
            }
            if (!line.selectors.empty())
            {
                line.kind = exception ? CHidingLineKind::Exception : CHidingLineKind::Hide;
                line.reason.clear();
            }
        }
        if (line.kind == CHidingLineKind::LeftOut)
            line.domains.clear();
        return line;
    }
    return line;
}

CElementHiding::CElementHiding(const std::vector<CHidingListText>& lists)
{
    std::vector<std::string> generic[2];
    std::unordered_set<std::string> genericExceptions;
    for (const CHidingListText& list : lists)
    {
        ForEachAdblockLine(list.text, [&](std::uint32_t, std::string_view text) {
            CHidingLine line = ParseHidingLine(text);
            switch (line.kind)
            {
            case CHidingLineKind::NotHiding:
                return;
            case CHidingLineKind::LeftOut:
                ++m_counts.leftOut[line.reason];
                return;
            case CHidingLineKind::PageException:
                ++m_counts.pageExceptions;
                m_pageExceptions[line.domains[0].name] |= line.pageFlags;
                return;
            case CHidingLineKind::Hide:
                ++m_counts.hide;
                m_counts.ie8Only += std::all_of(line.selectors.begin(), line.selectors.end(),
                                                [](const CHidingSelector& s) { return s.level == CCssLevel::IE8; });
                break;
            case CHidingLineKind::Exception:
                ++m_counts.exceptions;
                break;
            }
            bool exception = line.kind == CHidingLineKind::Exception;
            bool onlyNegated = std::none_of(line.domains.begin(), line.domains.end(),
                                            [](const CAdblockDomain& d) { return !d.negated; });
            if (line.domains.empty())
            {
                for (CHidingSelector& selector : line.selectors)
                {
                    if (exception)
                        genericExceptions.insert(std::move(selector.text));
                    else
                    {
                        if (selector.level == CCssLevel::IE7)
                            generic[0].push_back(selector.text);
                        generic[1].push_back(std::move(selector.text));
                    }
                    // (generic[1] holds every generic selector, generic[0]
                    // those IE 7 reads as well.)
                }
                return;
            }
            if (exception && onlyNegated)
            {
                // "everywhere but these sites" exceptions are not a form the
                // lists use; taken literally they would undo a rule nearly
                // everywhere.
                --m_counts.exceptions;
                ++m_counts.leftOut["negated exception"];
                return;
            }
            auto domains = static_cast<std::uint32_t>(m_domains.size());
            for (CHidingSelector& selector : line.selectors)
            {
                auto index = static_cast<std::uint32_t>(m_site.size());
                if (onlyNegated)
                    m_everywhereBut.push_back(index);
                else
                    for (const CAdblockDomain& domain : line.domains)
                        if (!domain.negated)
                        {
                            auto& bucket = (domain.entity ? m_byEntity : m_byHost)[domain.name];
                            if (bucket.empty() || bucket.back() != index)
                                bucket.push_back(index);
                        }
                m_site.push_back({std::move(selector.text), domains, selector.level, exception});
            }
            m_domains.push_back(std::move(line.domains));
        });
    }

    std::unordered_set<std::string_view> siteExceptions;
    for (const CSiteRule& rule : m_site)
        if (rule.exception)
            siteExceptions.insert(rule.selector);
    for (int level = 0; level < 2; ++level)
    {
        // Without selectors only IE 8 reads, both levels share one set.
        if (level == 1 && generic[1].size() == generic[0].size())
        {
            m_generic[1] = m_generic[0];
            break;
        }
        // Selectors some site excepts go last, in sheets of their own: a
        // page of such a site rebuilds only those, never the large rest.
        auto set = std::make_shared<CGenericSet>();
        std::unordered_set<std::string_view> seen;
        std::vector<std::string_view> exceptedSomewhere;
        for (const std::string& selector : generic[level])
            if (!genericExceptions.count(selector) && seen.insert(selector).second)
            {
                if (siteExceptions.count(selector))
                    exceptedSomewhere.push_back(selector);
                else
                    set->selectors.emplace_back(selector);
            }
        const std::size_t common = set->selectors.size();
        for (std::string_view selector : exceptedSomewhere)
            set->selectors.emplace_back(selector);
        std::string sheet;
        std::size_t inSheet = 0;
        for (std::size_t i = 0; i < set->selectors.size(); ++i)
        {
            const std::string& selector = set->selectors[i];
            if (inSheet == 0)
                set->sheetStart.push_back(i);
            set->sheetOf.emplace(selector, static_cast<std::uint32_t>(set->sheets.size()));
            AppendRule(sheet, selector);
            if (++inSheet == kMaxRulesPerSheet || (i + 1 == common && common < set->selectors.size()))
            {
                set->sheets.push_back(std::make_shared<const std::string>(std::move(sheet)));
                sheet.clear();
                inSheet = 0;
            }
        }
        if (inSheet)
            set->sheets.push_back(std::make_shared<const std::string>(std::move(sheet)));
        set->sheetStart.push_back(set->selectors.size());
        m_generic[level] = std::move(set);
    }
    // Site exceptions of a generic selector also apply to "~site" rules and
    // site rules; keep generic exceptions from reaching those as well.
    for (CSiteRule& rule : m_site)
        if (!rule.exception && genericExceptions.count(rule.selector))
            rule.selector.clear();
}

std::size_t CElementHiding::GetGenericRuleCount(CCssLevel level) const noexcept
{
    return Generic(level).selectors.size();
}

std::uint8_t CElementHiding::PageFlags(std::string_view host) const
{
    std::uint8_t flags = 0;
    for (std::string_view name = host; !name.empty();)
    {
        auto it = m_pageExceptions.find(std::string(name));
        if (it != m_pageExceptions.end())
            flags |= it->second;
        std::size_t dot = name.find('.');
        name = dot == std::string_view::npos ? std::string_view() : name.substr(dot + 1);
    }
    return flags;
}

// The site rules and exceptions whose domains name `host` or a parent of it.
void CElementHiding::Collect(std::string_view host, std::vector<std::uint32_t>& rules) const
{
    auto walk = [&](std::string_view name, const std::unordered_map<std::string, std::vector<std::uint32_t>>& map) {
        while (!name.empty())
        {
            auto it = map.find(std::string(name));
            if (it != map.end())
                rules.insert(rules.end(), it->second.begin(), it->second.end());
            std::size_t dot = name.find('.');
            name = dot == std::string_view::npos ? std::string_view() : name.substr(dot + 1);
        }
    };
    walk(host, m_byHost);
    if (!m_byEntity.empty())
        walk(WithoutSuffix(host), m_byEntity);
    std::sort(rules.begin(), rules.end());
    rules.erase(std::unique(rules.begin(), rules.end()), rules.end());
}

std::shared_ptr<const CHidingStyle> CElementHiding::StyleFor(std::string_view rawHost, CCssLevel level) const
{
    std::string host;
    for (char c : rawHost.substr(0, kMaxHost))
        host += Lower(c);
    while (!host.empty() && host.back() == '.')
        host.pop_back();
    std::string key = host;
    key += level == CCssLevel::IE8 ? "/8" : "/7";
    {
        CCritSecLock hold(m_cacheLock);
        auto it = m_cache.find(key);
        if (it != m_cache.end())
            return it->second;
    }
    std::shared_ptr<const CHidingStyle> style = Compose(host, level);
    CCritSecLock hold(m_cacheLock);
    if (m_cache.size() >= kHidingCacheHosts)
        m_cache.clear();
    m_cache.emplace(std::move(key), style);
    return style;
}

std::shared_ptr<const CHidingStyle> CElementHiding::Compose(std::string_view host, CCssLevel level) const
{
    auto style = std::make_shared<CHidingStyle>();
    std::uint8_t flags = PageFlags(host);
    if (flags & kElemHide)
        return style;
    const bool generic = !(flags & kGenericHide);
    const CGenericSet& set = Generic(level);

    std::vector<std::uint32_t> candidates;
    Collect(host, candidates);
    if (generic)
        candidates.insert(candidates.end(), m_everywhereBut.begin(), m_everywhereBut.end());
    std::unordered_set<std::string_view> excepted;
    std::vector<std::string_view> site;
    const std::string_view entityName = WithoutSuffix(host);
    for (std::uint32_t index : candidates)
    {
        const CSiteRule& rule = m_site[index];
        if (rule.selector.empty() || rule.level > level || !Applies(host, entityName, m_domains[rule.domains]))
            continue;
        if (rule.exception)
            excepted.insert(rule.selector);
        else
            site.push_back(rule.selector);
    }

    // The host's own rules first: when the sheet budget runs out, generic
    // rules are the ones to go.
    std::unordered_set<std::string_view> taken;
    std::string sheet;
    std::size_t inSheet = 0;
    using CSheets = std::vector<std::pair<std::shared_ptr<const std::string>, std::size_t>>;
    CSheets own;
    for (std::string_view selector : site)
    {
        if (excepted.count(selector) || (generic && set.sheetOf.count(selector)) || !taken.insert(selector).second)
            continue;
        AppendRule(sheet, selector);
        ++style->siteRules;
        if (++inSheet == kMaxRulesPerSheet)
        {
            own.emplace_back(std::make_shared<const std::string>(std::move(sheet)), inSheet);
            sheet.clear();
            inSheet = 0;
        }
    }
    if (inSheet)
        own.emplace_back(std::make_shared<const std::string>(std::move(sheet)), inSheet);

    CSheets shared;
    std::size_t genericRules = 0;
    if (generic)
    {
        // Sheets that hold a selector this host excepts are rebuilt without
        // it; the others are shared by every page.
        std::vector<bool> touched(set.sheets.size());
        for (std::string_view selector : excepted)
        {
            auto it = set.sheetOf.find(selector);
            if (it != set.sheetOf.end())
                touched[it->second] = true;
        }
        for (std::size_t i = 0; i < set.sheets.size(); ++i)
        {
            std::size_t first = set.sheetStart[i];
            std::size_t last = set.sheetStart[i + 1];
            if (!touched[i])
            {
                shared.emplace_back(set.sheets[i], last - first);
                genericRules += last - first;
                continue;
            }
            std::string rebuilt;
            rebuilt.reserve(set.sheets[i]->size());
            std::size_t rules = 0;
            for (std::size_t k = first; k < last; ++k)
                if (!excepted.count(set.selectors[k]))
                {
                    AppendRule(rebuilt, set.selectors[k]);
                    ++rules;
                }
            genericRules += rules;
            if (rules)
                shared.emplace_back(std::make_shared<const std::string>(std::move(rebuilt)), rules);
        }
    }

    std::size_t total = style->siteRules + genericRules;
    for (auto& [sheet, rules] : own)
        if (style->sheets.size() < kHidingSheetBudget)
        {
            style->sheets.push_back(std::move(sheet));
            style->sheetRules.push_back(rules);
        }
    style->siteRules = 0;
    for (std::size_t rules : style->sheetRules)
        style->siteRules += rules;
    for (auto& [sheet, rules] : shared)
        if (style->sheets.size() < kHidingSheetBudget)
        {
            style->sheets.push_back(std::move(sheet));
            style->sheetRules.push_back(rules);
        }
    for (std::size_t rules : style->sheetRules)
        style->rules += rules;
    style->overBudget = total - style->rules;
    return style;
}
