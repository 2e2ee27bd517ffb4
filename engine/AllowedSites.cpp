#include "engine/AllowedSites.h"

#include "engine/AdblockSyntax.h"

namespace {

constexpr std::size_t kMaxHostName = 253;
constexpr std::string_view kPrefix = "@@||";
constexpr std::string_view kSuffix = "^$document";

std::string_view Trimmed(std::string_view line)
{
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t'))
        line.remove_prefix(1);
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t'))
        line.remove_suffix(1);
    return line;
}

// The host of an allowing line, or empty.
std::string_view HostOfLine(std::string_view line)
{
    line = Trimmed(line);
    if (line.size() <= kPrefix.size() + kSuffix.size() || line.substr(0, kPrefix.size()) != kPrefix ||
        line.substr(line.size() - kSuffix.size()) != kSuffix)
        return std::string_view();
    return line.substr(kPrefix.size(), line.size() - kPrefix.size() - kSuffix.size());
}

}  // namespace

std::optional<std::string> NormalizeAllowedSite(std::wstring_view text)
{
    std::size_t scheme = text.find(L"://");
    if (scheme != std::wstring_view::npos)
        text.remove_prefix(scheme + 3);
    text = text.substr(0, text.find_first_of(L"/?#\\"));
    std::size_t at = text.rfind(L'@');
    if (at != std::wstring_view::npos)
        text.remove_prefix(at + 1);
    text = text.substr(0, text.find(L':'));
    if (!text.empty() && text.back() == L'.')
        text.remove_suffix(1);
    if (text.empty() || text.size() > kMaxHostName)
        return std::nullopt;
    std::string host;
    char previous = '.';
    for (wchar_t c : text) {
        if (c >= L'A' && c <= L'Z')
            c = static_cast<wchar_t>(c - L'A' + L'a');
        const bool allowed = (c >= L'a' && c <= L'z') || (c >= L'0' && c <= L'9') || c == L'-' || c == L'.';
        if (!allowed || (c == L'.' && previous == '.'))
            return std::nullopt;
        previous = static_cast<char>(c);
        host += previous;
    }
    return host;
}

std::string AllowedSiteLine(std::string_view host)
{
    std::string line(kPrefix);
    line += host;
    line += kSuffix;
    return line;
}

std::string AddAllowedSite(std::string_view text, std::string_view host)
{
    for (const std::string& allowed : AllowedSitesOf(text)) {
        if (allowed == host)
            return std::string(text);
    }
    std::string result(text);
    if (result.empty())
        result = "! Title: Allowed sites\n";
    else if (result.back() != '\n' && result.back() != '\r')
        result += '\n';
    result += AllowedSiteLine(host);
    result += '\n';
    return result;
}

std::string RemoveAllowedSite(std::string_view text, std::string_view host, bool* removed)
{
    *removed = false;
    std::string result;
    result.reserve(text.size());
    if (text.substr(0, 3) == "\xEF\xBB\xBF")
        result = "\xEF\xBB\xBF";
    ForEachAdblockLine(text, [&](std::uint32_t, std::string_view line) {
        if (HostOfLine(line) == host) {
            *removed = true;
            return;
        }
        result += line;
        result += '\n';
    });
    return result;
}

std::vector<std::string> AllowedSitesOf(std::string_view text)
{
    std::vector<std::string> hosts;
    ForEachAdblockLine(text, [&](std::uint32_t, std::string_view line) {
        std::string_view host = HostOfLine(line);
        if (!host.empty())
            hosts.emplace_back(host);
    });
    return hosts;
}
