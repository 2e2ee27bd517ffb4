#include "engine/PublicSuffix.h"

#include <algorithm>

namespace PublicSuffixData {
extern const char kNames[];
extern const CPublicSuffixRule kRules[];
extern const unsigned kRuleCount;
extern const unsigned kSlotBits;
extern const unsigned short kSlots[];
}

namespace {

int FindRule(std::string_view name) noexcept
{
    using namespace PublicSuffixData;
    std::uint32_t hash = 2166136261u;
    for (char c : name)
        hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
    const std::uint32_t mask = (1u << kSlotBits) - 1;
    // The generator leaves a third of the slots free: every probe ends.
    for (std::uint32_t at = hash & mask;; at = (at + 1) & mask)
    {
        unsigned slot = kSlots[at];
        if (slot == 0 || slot > kRuleCount)
            return 0;
        const CPublicSuffixRule& rule = kRules[slot - 1];
        if (rule.length != name.size())
            continue;
        // (Compared here: the C library's comparison costs a call.)
        const char* text = kNames + rule.offset;
        std::size_t i = 0;
        while (i < name.size() && text[i] == name[i])
            ++i;
        if (i == name.size())
            return rule.flags;
    }
}

bool IsAddress(std::string_view host) noexcept
{
    if (!host.empty() && host.front() == '[')
        return true;
    int dots = 0;
    for (char c : host)
    {
        if (c == '.')
            ++dots;
        else if (c < '0' || c > '9')
            return false;
    }
    return dots == 3;
}

}  // namespace

std::size_t PublicSuffixLength(std::string_view host) noexcept
{
    if (host.empty() || IsAddress(host))
        return 0;
    // From the last label towards the first: the deepest name a rule
    // applies to decides (an exception makes its parent the suffix), and
    // the walk stops at the first name with no rule's name below it (flag
    // 16) and no wildcard.
    std::size_t found = 0, parent = 0;
    bool parentWildcard = false;
    std::size_t start = host.size();
    for (bool last = true;; last = false)
    {
        if (!last)
        {
            if (start == 0)
                break;
            --start;  // the dot before the previous name
        }
        while (start > 0 && host[start - 1] != '.')
            --start;
        const std::size_t length = host.size() - start;
        const int flags = FindRule(host.substr(start));
        if (flags & 4)
            found = parent;
        else if ((flags & 1) || parentWildcard)
            found = length;
        if (!(flags & (16 | 2)))
            break;
        parentWildcard = (flags & 2) != 0;
        parent = length;
    }
    if (found != 0)
        return found;
    // The implicit rule "*": the last label.
    std::size_t dot = host.size();
    while (dot > 0 && host[dot - 1] != '.')
        --dot;
    return host.size() - dot;
}

std::string_view RegistrableDomain(std::string_view host) noexcept
{
    std::size_t suffix = PublicSuffixLength(host);
    if (suffix == 0 || suffix + 1 >= host.size())
        return host;
    std::size_t dot = host.rfind('.', host.size() - suffix - 2);
    return dot == std::string_view::npos ? host : host.substr(dot + 1);
}
