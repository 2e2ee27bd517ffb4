#pragma once
// The verdict on one request in its context (engine/RequestContext.h): the
// URL, the page it belongs to and its kind.
//
// The user's own list decides first and keeps its meaning: it looks at the
// URL alone, exactly as IsUrlAllowed does (a matching exception allows, a
// matching block blocks). Where the user's list has nothing to say, the
// Adblock lists, which judge the page and the kind as well, will decide; until
// they are stored, such a request is allowed.
//
// Callers that know no context keep calling IsUrlAllowed (verdict/UrlVerdict.h):
// a context with only a URL gets the same answer.

#include <string>
#include <vector>

#include "engine/RequestContext.h"

class CSharedStore;

// Against the process's filter list store. true: the request may load.
// Throws as IsUrlAllowed does (E_POINTER for a null url). The page URL and the
// type may be absent (null, kRequestUnknown).
bool IsRequestAllowed(const RequestContext& request);

// The same against the given store; deciding as IsUrlAllowed's explanation.
bool IsRequestAllowed(CSharedStore& filterList, const RequestContext& request, std::vector<std::wstring>* deciding);
