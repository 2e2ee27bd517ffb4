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
    // From the longest tail to the shortest: the first tail a rule names is
    // the longest rule that applies.
    // (Each tail is looked up once: as the parent of the one before it,
    // then as the tail.)
    std::size_t start = 0;
    int flags = FindRule(host);
    for (;;)
    {
        std::string_view tail = host.substr(start);
        std::size_t dot = 0;
        while (dot < tail.size() && tail[dot] != '.')
            ++dot;
        std::string_view parent = dot == tail.size() ? std::string_view() : tail.substr(dot + 1);
        if (flags & 4)
            return parent.size();
        if (flags & 1)
            return tail.size();
        int parentFlags = parent.empty() ? 0 : FindRule(parent);
        if (parentFlags & 2)
            return tail.size();
        if (dot == tail.size())
            return tail.size();  // the implicit rule "*": the last label
        start += dot + 1;
        flags = parentFlags;
    }
}

std::string_view RegistrableDomain(std::string_view host) noexcept
{
    std::size_t suffix = PublicSuffixLength(host);
    if (suffix == 0 || suffix + 1 >= host.size())
        return host;
    std::size_t dot = host.rfind('.', host.size() - suffix - 2);
    return dot == std::string_view::npos ? host : host.substr(dot + 1);
}
