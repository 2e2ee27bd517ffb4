#include "verdict/RequestVerdict.h"

#include "storage/FilterListStore.h"
#include "verdict/UrlVerdict.h"

bool IsRequestAllowed(const RequestContext& request)
{
    return IsRequestAllowed(GetFilterListStore(), request, nullptr);
}

bool IsRequestAllowed(CSharedStore& filterList, const RequestContext& request, std::vector<std::wstring>* deciding)
{
    // The user's list sees the URL only; the page and the kind are for the
    // Adblock lists' options.
    return IsUrlAllowed(filterList, request.url, deciding);
}
