#include "engine/AdblockSyntax.h"

#include <algorithm>
#include <tuple>

#include "engine/RegexSearch.h"

namespace {

constexpr std::uint16_t kAllTypes = kRequestAnyResource | kRequestDocument | kRequestPopup;

bool IsSpace(char c) noexcept
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}

std::string_view Trim(std::string_view s) noexcept
{
    while (!s.empty() && IsSpace(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && IsSpace(s.back()))
        s.remove_suffix(1);
    return s;
}

char Lower(char c) noexcept
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c;
}

std::string LowerAscii(std::string_view s)
{
    std::string out(s);
    for (char& c : out)
        c = Lower(c);
    return out;
}

// "##", "#@#", "#?#", "#@?#", "#$#", "#@$#", "#%#", "#@%#", "#$?#", "#@$?#".
bool IsCosmetic(std::string_view line) noexcept
{
    for (std::size_t at = line.find('#'); at != std::string_view::npos; at = line.find('#', at + 1))
    {
        std::size_t i = at + 1;
        if (i < line.size() && line[i] == '@')
            ++i;
        if (i < line.size() && (line[i] == '$' || line[i] == '%'))
            ++i;
        if (i < line.size() && line[i] == '?')
            ++i;
        if (i < line.size() && line[i] == '#')
            return true;
    }
    return false;
}

// "0.0.0.0 host" or "127.0.0.1 host": the host, or empty when the line is
// not a hosts-file entry of a name worth blocking.
bool ParseHostsLine(std::string_view line, CAdblockLine& out)
{
    std::string_view address;
    for (std::string_view prefix : {std::string_view("0.0.0.0"), std::string_view("127.0.0.1")})
    {
        if (line.size() > prefix.size() && line.substr(0, prefix.size()) == prefix &&
            IsSpace(line[prefix.size()]))
            address = prefix;
    }
    if (address.empty())
        return false;
    std::string_view rest = Trim(line.substr(address.size()));
    std::size_t end = 0;
    while (end < rest.size() && !IsSpace(rest[end]) && rest[end] != '#')
        ++end;
    std::string host = LowerAscii(rest.substr(0, end));
    if (host.empty() || host == "localhost" || host == "localhost.localdomain" || host == "local" ||
        host == "broadcasthost" || host == "0.0.0.0" || host == "ip6-localhost" || host == "ip6-loopback")
    {
        out.kind = CAdblockLineKind::Comment;
        return true;
    }
    for (char c : host)
    {
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_'))
        {
            out.kind = CAdblockLineKind::Invalid;
            out.option = "hosts entry";
            return true;
        }
    }
    out.kind = CAdblockLineKind::Network;
    out.filter.anchorHost = true;
    out.filter.pattern = host + "^";
    return true;
}

// Letters of a regular expression in lower case, except those that name an
// escape ("\D", "\w", "\B", "\cJ", "\uABCD" keeps its digits' meaning).
std::string LowerRegex(std::string_view body)
{
    std::string out(body);
    for (std::size_t i = 0; i < out.size(); ++i)
    {
        if (out[i] == '\\')
            ++i;
        else
            out[i] = Lower(out[i]);
    }
    return out;
}

// "ads", "ads.example.com", "|cdn-1.example|": letters, digits, "-" and
// "_" in dot-separated labels, the last one of at least two characters, with
// at most "|" around them (not "||").
bool IsHostName(std::string_view pattern)
{
    if (pattern.substr(0, 2) == "||")
        return false;
    if (!pattern.empty() && pattern.front() == '|')
        pattern.remove_prefix(1);
    if (!pattern.empty() && pattern.back() == '|')
        pattern.remove_suffix(1);
    std::size_t lastDot = pattern.rfind('.');
    std::string_view last = pattern.substr(lastDot == std::string_view::npos ? 0 : lastDot + 1);
    if (last.size() < 2 || last.back() == '-' || last.back() == '_' || last.find('_') != std::string_view::npos)
        return false;
    bool labelStart = true;
    for (char c : pattern)
    {
        char l = Lower(c);
        bool alnum = (l >= 'a' && l <= 'z') || (l >= '0' && l <= '9');
        if (c == '.')
        {
            if (labelStart)
                return false;
            labelStart = true;
        }
        else if (alnum || (!labelStart && (c == '-' || c == '_')))
            labelStart = false;
        else
            return false;
    }
    return !labelStart;
}

bool ParseDomains(std::string_view value, std::vector<CAdblockDomain>& domains)
{
    std::size_t start = 0;
    for (;;)
    {
        std::size_t end = value.find('|', start);
        std::string_view entry = value.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
        CAdblockDomain domain;
        entry = ReadDomainMarks(entry, domain);
        if (entry.empty())
            return false;
        domain.name = LowerAscii(entry);
        domains.push_back(std::move(domain));
        if (end == std::string_view::npos)
            return true;
        start = end + 1;
    }
}

// Applies the "$" options to `filter`. False with `line.kind` set when the
// filter is not to be used.
bool ParseOptions(std::string_view options, CAdblockLine& line)
{
    CNetworkFilter& filter = line.filter;
    std::uint16_t wanted = 0, unwanted = 0;
    bool third = false, first = false;
    std::size_t start = 0;
    for (;;)
    {
        std::size_t end = options.find(',', start);
        std::string_view option =
            options.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
        bool negated = !option.empty() && option.front() == '~';
        std::string_view name = option.substr(negated ? 1 : 0);
        std::string_view value;
        std::size_t equals = name.find('=');
        if (equals != std::string_view::npos)
        {
            value = name.substr(equals + 1);
            name = name.substr(0, equals);
        }
        bool known = true;
        std::wstring wide(name.begin(), name.end());
        if (RequestType type = RequestTypeFromName(wide); type != kRequestUnknown && equals == std::string_view::npos)
            (negated ? unwanted : wanted) |= type;
        else if (name == "all" && !negated && equals == std::string_view::npos)
            wanted |= kAllTypes;
        else if ((name == "third-party" || name == "3p") && equals == std::string_view::npos)
            (negated ? first : third) = true;
        else if ((name == "first-party" || name == "1p") && equals == std::string_view::npos)
            (negated ? third : first) = true;
        else if (name == "match-case" && !negated && equals == std::string_view::npos)
            filter.matchCase = true;
        else if (name == "important" && !negated && equals == std::string_view::npos)
            filter.important = true;
        else if (name == "badfilter" && !negated && equals == std::string_view::npos)
            filter.badfilter = true;
        else if ((name == "domain" || name == "from") && !negated && equals != std::string_view::npos)
        {
            if (!ParseDomains(value, filter.domains))
            {
                line.kind = CAdblockLineKind::Invalid;
                line.option = "empty domain";
                return false;
            }
        }
        else
            known = false;
        if (!known)
        {
            line.kind = CAdblockLineKind::Skipped;
            line.option = name.empty() ? std::string("(empty)") : std::string(name);
            return false;
        }
        if (end == std::string_view::npos)
            break;
        start = end + 1;
    }
    if (third && first)
    {
        line.kind = CAdblockLineKind::Invalid;
        line.option = "first and third party";
        return false;
    }
    filter.party = third ? CAdblockParty::Third : first ? CAdblockParty::First : CAdblockParty::Any;
    std::uint16_t types = wanted ? wanted : kRequestAnyResource;
    if (!wanted && unwanted)
        types = kRequestAnyResource;
    types = static_cast<std::uint16_t>(types & ~unwanted);
    if (types == 0)
    {
        line.kind = CAdblockLineKind::Invalid;
        line.option = "no type left";
        return false;
    }
    filter.types = types;
    return true;
}

}  // namespace

std::string_view ReadDomainMarks(std::string_view entry, CAdblockDomain& domain) noexcept
{
    if (!entry.empty() && entry.front() == '~')
    {
        domain.negated = true;
        entry.remove_prefix(1);
    }
    if (entry.size() > 2 && entry.substr(entry.size() - 2) == ".*")
    {
        domain.entity = true;
        entry.remove_suffix(2);
    }
    return entry;
}

bool CNetworkFilter::SameAs(const CNetworkFilter& other) const
{
    auto key = [](const CNetworkFilter& f) {
        return std::tie(f.pattern, f.exception, f.regex, f.anchorHost, f.anchorStart, f.anchorEnd, f.matchCase,
                        f.important, f.party, f.types);
    };
    if (key(*this) != key(other) || domains.size() != other.domains.size())
        return false;
    for (std::size_t i = 0; i < domains.size(); ++i)
    {
        const CAdblockDomain& a = domains[i];
        const CAdblockDomain& b = other.domains[i];
        if (a.name != b.name || a.negated != b.negated || a.entity != b.entity)
            return false;
    }
    return true;
}

CAdblockLine ParseAdblockLine(std::string_view text)
{
    CAdblockLine line;
    text = Trim(text);
    if (text.empty())
        return line;
    if (text.front() == '!' || text.front() == '[')
    {
        line.kind = CAdblockLineKind::Comment;
        return line;
    }
    if (IsCosmetic(text))
    {
        line.kind = CAdblockLineKind::Cosmetic;
        return line;
    }
    if (text.front() == '#')
    {
        line.kind = CAdblockLineKind::Comment;
        return line;
    }
    if (ParseHostsLine(text, line))
        return line;

    CNetworkFilter& filter = line.filter;
    if (text.substr(0, 2) == "@@")
    {
        filter.exception = true;
        text.remove_prefix(2);
    }
    // The options follow the last "$", unless that "$" belongs to a regular
    // expression ("/ads$/").
    std::string_view pattern = text;
    std::size_t dollar = text.rfind('$');
    if (dollar != std::string_view::npos &&
        !(text.size() > 2 && text.front() == '/' && text.back() == '/' && dollar > 0))
    {
        pattern = text.substr(0, dollar);
        if (!ParseOptions(text.substr(dollar + 1), line))
            return line;
    }
    if (pattern.size() > kMaxAdblockPattern)
    {
        line.kind = CAdblockLineKind::Invalid;
        line.option = "too long";
        return line;
    }
    line.kind = CAdblockLineKind::Network;
    if (pattern.size() > 2 && pattern.front() == '/' && pattern.back() == '/')
    {
        std::string_view body = pattern.substr(1, pattern.size() - 2);
        filter.regex = true;
        filter.pattern = filter.matchCase ? std::string(body) : LowerRegex(body);
        std::wstring wide(filter.pattern.begin(), filter.pattern.end());
        if (CheckRegexSyntax(wide) != -1)
        {
            line.kind = CAdblockLineKind::Invalid;
            line.option = "regular expression";
        }
        return line;
    }
    if (IsHostName(pattern))
    {
        // A bare host name blocks that host and its subdomains, as in the
        // other browsers' blockers (lists of names, one a line, rely on it).
        std::string host = LowerAscii(pattern.substr(pattern.find_first_not_of('|')));
        if (host.back() == '|')
            host.pop_back();
        filter.anchorHost = true;
        filter.pattern = host + "^";
        return line;
    }
    if (pattern.substr(0, 2) == "||")
    {
        filter.anchorHost = true;
        pattern.remove_prefix(2);
    }
    else if (pattern.substr(0, 1) == "|")
    {
        filter.anchorStart = true;
        pattern.remove_prefix(1);
    }
    if (!pattern.empty() && pattern.back() == '|')
    {
        filter.anchorEnd = true;
        pattern.remove_suffix(1);
    }
    // Runs of "*" count as one; a leading or trailing one is what an
    // unanchored pattern means anyway.
    std::string& out = filter.pattern;
    out.reserve(pattern.size());
    for (char c : pattern)
    {
        if (!(c == '*' && !out.empty() && out.back() == '*'))
            out.push_back(filter.matchCase ? c : Lower(c));
    }
    if (!out.empty() && out.front() == '*' && !filter.anchorHost)
    {
        out.erase(0, 1);
        filter.anchorStart = false;
    }
    if (!out.empty() && out.back() == '*')
    {
        out.pop_back();
        filter.anchorEnd = false;
    }
    return line;
}

void CAdblockCounts::Add(const CAdblockLine& line)
{
    ++lines;
    switch (line.kind)
    {
    case CAdblockLineKind::Empty:
    case CAdblockLineKind::Comment:
        ++comments;
        break;
    case CAdblockLineKind::Cosmetic:
        ++cosmetic;
        break;
    case CAdblockLineKind::Network:
        ++network;
        break;
    case CAdblockLineKind::Skipped:
        ++skipped;
        ++skippedOptions[line.option];
        break;
    case CAdblockLineKind::Invalid:
        ++invalid;
        ++invalidReasons[line.option];
        break;
    }
}

CAdblockCounts CountAdblockLines(std::string_view text)
{
    CAdblockCounts counts;
    ForEachAdblockLine(text, [&](std::uint32_t, std::string_view line) { counts.Add(ParseAdblockLine(line)); });
    return counts;
}
