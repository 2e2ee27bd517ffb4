#include "engine/UrlVerdict.h"

#include <windows.h>
#include <wininet.h>

#include "com/Error.h"
#include "engine/FilterRule.h"
#include "storage/FilterListStore.h"

namespace {

// The platform's longest URL, 2083 characters, and its terminator.
constexpr DWORD kCanonicalUrlCapacity = 2084;

}  // namespace

bool IsUrlAllowed(const wchar_t* url)
{
    return IsUrlAllowed(GetFilterListStore(), url);
}

bool IsUrlAllowed(CSharedStore& filterList, const wchar_t* url)
{
    return IsUrlAllowed(filterList, url, nullptr);
}

bool IsUrlAllowed(CSharedStore& filterList, const wchar_t* url, std::vector<std::wstring>* deciding)
{
    if (!url)
        ThrowHResult(E_POINTER);
    if (deciding)
        deciding->clear();
    // The filters see the URL with its %XX sequences decoded. This happens
    // before the lock is taken: it needs no store.
    wchar_t canonical[kCanonicalUrlCapacity];
    DWORD length = kCanonicalUrlCapacity;
    if (!InternetCanonicalizeUrlW(url, canonical, &length, ICU_DECODE))
        ThrowLastError();

    // The records are matched in place in the shared view: no copy, and a
    // matching exception settles the answer at once.
    CStoreReader reader(filterList);
    bool allowed = true;
    CFilterRecordCursor cursor(reader);
    while (const FilterRule* rule = cursor.Next()) {
        if (!MatchFilter(*rule, canonical))
            continue;
        if (rule->isException) {
            if (deciding)
                deciding->assign(1, FilterToText(*rule));
            return true;
        }
        allowed = false;
        if (deciding)
            deciding->push_back(FilterToText(*rule));
    }
    return allowed;
}
