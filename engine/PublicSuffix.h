#pragma once
// Registrable domains ("example.co.uk" of "ads.example.co.uk"), from the
// public suffix list compiled into the binary at build time (ICANN and
// private sections alike, as the other browsers' blockers use it). Nothing
// is read at run time.

#include <cstdint>
#include <string_view>

// One rule of the compiled table: its name in PublicSuffixData::kNames.
// flags: 1 a plain rule, 2 a wildcard rule ("*.name"), 4 an exception
// ("!name"), 8 from the private section.
struct CPublicSuffixRule
{
    std::uint32_t offset;
    std::uint16_t length;
    std::uint16_t flags;
};

// The public suffix of a lower-case host name without a trailing dot: the
// length of its tail that is a suffix (the last label when no rule applies;
// 0 for an empty host). IPv4 addresses and bracketed IPv6 addresses have no
// suffix (0).
std::size_t PublicSuffixLength(std::string_view host) noexcept;

// The registrable domain of a lower-case host: its public suffix and one
// more label. The host itself when it is an address or a public suffix (the
// other browsers' blockers then compare whole hosts). A view into `host`.
std::string_view RegistrableDomain(std::string_view host) noexcept;
