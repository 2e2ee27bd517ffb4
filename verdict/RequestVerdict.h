#pragma once
// The verdict on one request in its context (engine/RequestContext.h): the
// URL, the page it belongs to and its kind.
//
// The user's own list decides first and keeps its meaning: it looks at the
// URL alone, exactly as IsUrlAllowed does (a matching exception allows, a
// matching block blocks). Where the user's list has nothing to say, the
// Adblock lists (storage/AdblockListStore.h), which judge the page and the
// kind as well, decide: their block blocks unless one of their exceptions
// matches too. One thing overrides both: a "$document" exception of the
// lists that names the request's page (a site the user allowed) allows
// every request of that page.
//
// Callers that know no context keep calling IsUrlAllowed (verdict/UrlVerdict.h),
// which asks the user's list only; a context with only a URL gets the lists'
// filters that need no page or kind as well.

#include <string>
#include <vector>

#include "engine/RequestContext.h"

class CSharedStore;
class CAdblockListStore;

// Against the process's stores. true: the request may load. Throws as
// IsUrlAllowed does (E_POINTER for a null url). The page URL and the type may
// be absent (null, kRequestUnknown). The Adblock lists cost no lock: one read
// of shared memory when there are none. A user's list locked longer than a
// browser thread waits has no say: the lists then decide alone.
bool IsRequestAllowed(const RequestContext& request);

// The same against the given filter list store and the process's Adblock
// lists; deciding as IsUrlAllowed's explanation, the lists' filter as
// "NAME, line N: TEXT".
bool IsRequestAllowed(CSharedStore& filterList, const RequestContext& request, std::vector<std::wstring>* deciding);

// The same against the given stores; `lists` may be null (the user's list
// alone).
bool IsRequestAllowed(CSharedStore& filterList, CAdblockListStore* lists, const RequestContext& request,
                      std::vector<std::wstring>* deciding);

// Whether a new window the page `openerUrl` opens on `url` may open, by the
// Adblock lists alone: blocked when a "$popup" filter, or a "$document"
// block filter, matches the URL with the opener as its page and no
// exception of the same kind wins; an opener of a site the user allowed
// opens every window. The user's own list judges requests, not windows, and
// has no say. `openerUrl` may be null or empty (options that need the page
// then cannot apply). Throws std::bad_alloc, or E_POINTER for a null url.
bool IsPopupAllowed(CAdblockListStore* lists, const wchar_t* url, const wchar_t* openerUrl);

// The same against the process's Adblock lists. Never throws: a window the
// lists cannot judge opens.
bool IsPopupAllowed(const wchar_t* url, const wchar_t* openerUrl) noexcept;

// True when a "$document" exception of the process's Adblock lists names
// the page (a site the user allowed): nothing on it is blocked or hidden.
// Never throws (false when the lists cannot be read).
bool IsPageOfAllowedSite(const wchar_t* pageUrl) noexcept;
