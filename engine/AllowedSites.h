#pragma once
// Sites the user allowed: nothing on their pages is blocked or hidden. Each
// is one line "@@||host^$document" of a list of the user's own among the
// Adblock lists, so that the lists' verdict and their element hiding honour
// it as they honour the same line in any list.
//
// Pure text functions; thread-safe.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The name of the user's own list of allowed sites.
constexpr wchar_t kAllowedSitesListName[] = L"Allowed sites";

// The host a user means by `text`: a host name or a URL of the site (its
// host is taken), letter case ignored, a trailing dot dropped. None for
// anything that is not a host name of letters, digits, "-" and dots (at
// most 253 characters, no empty label).
std::optional<std::string> NormalizeAllowedSite(std::wstring_view text);

// The line that allows `host`.
std::string AllowedSiteLine(std::string_view host);

// The list's text with `host` allowed (unchanged when it already is). A
// text without one gets a title line first.
std::string AddAllowedSite(std::string_view text, std::string_view host);

// The list's text without the lines that allow `host`; *removed tells
// whether there was one.
std::string RemoveAllowedSite(std::string_view text, std::string_view host, bool* removed);

// The hosts the list's text allows, in its order.
std::vector<std::string> AllowedSitesOf(std::string_view text);
