#include "verdict/RequestVerdict.h"

#include "com/Error.h"
#include "com/Trace.h"
#include "storage/AdblockListStore.h"
#include "storage/FilterListStore.h"
#include "storage/NamedMutex.h"
#include "verdict/CanonicalUrl.h"
#include "verdict/UrlVerdict.h"

namespace {

CAdblockListStore* TryGetAdblockListStore() noexcept
{
    try {
        return &GetAdblockListStore();
    } catch (...) {
        // No storage folder: the user's list cannot be read either, and says
        // so itself.
        TraceCurrentException("Adblock lists not opened");
        return nullptr;
    }
}

// The user's list's answer; `exception` true when one of its exceptions
// matches (deciding then holds it).
bool JudgeByUserList(CSharedStore& filterList, const wchar_t* url, std::vector<std::wstring>* deciding,
                     bool lockedMeansNothing, bool* exception)
{
    *exception = false;
    try {
        std::vector<std::wstring> local;
        std::vector<std::wstring>* explain = deciding ? deciding : &local;
        const bool allowed = IsUrlAllowed(filterList, url, explain);
        *exception = allowed && !explain->empty();
        return allowed;
    } catch (const CHResultException& e) {
        // Locked longer than a browser thread waits: the user's list has no
        // say on this request, as IsUrlAllowed(url) decides too.
        if (!lockedMeansNothing || e.GetHResult() != kLockTimedOut)
            throw;
        return true;
    }
}

bool Judge(CSharedStore& filterList, CAdblockListStore* lists, const RequestContext& request,
           std::vector<std::wstring>* deciding, bool lockedMeansNothing)
{
    if (!request.url)
        ThrowHResult(E_POINTER);
    if (deciding)
        deciding->clear();
    // A site the user allowed: nothing on its pages is blocked, by the
    // user's own filters either. Asked only once something would be.
    auto pageAllowed = [&] {
        if (!lists || !request.pageUrl || !*request.pageUrl)
            return false;
        std::shared_ptr<const CAdblockListStore::CLoaded> loaded;
        const CAdblockVerdict page = lists->JudgePage(request.pageUrl, &loaded);
        if (page.decision != CAdblockVerdict::Allow)
            return false;
        if (deciding) {
            deciding->clear();
            deciding->push_back(lists->DescribeFilter(*loaded, page));
        }
        return true;
    };
    bool exception = false;
    if (!deciding) {
        // The fast path: the index, and a walk only when the lists block.
        bool allowed;
        try {
            allowed = IsUrlAllowed(filterList, request.url);
        } catch (const CHResultException& e) {
            if (!lockedMeansNothing || e.GetHResult() != kLockTimedOut)
                throw;
            allowed = true;
        }
        if (!allowed)
            return pageAllowed();
    } else if (!JudgeByUserList(filterList, request.url, deciding, lockedMeansNothing, &exception)) {
        return pageAllowed();
    } else if (exception) {
        return true;
    }
    if (!lists)
        return true;
    // The lists see the URL as the browser requests it, without decoding:
    // as the other browsers' blockers see it.
    std::wstring storage;
    RequestContext asRequested = request;
    asRequested.url = AsRequested(request.url, storage);
    std::shared_ptr<const CAdblockListStore::CLoaded> loaded;
    const CAdblockVerdict verdict = lists->Judge(asRequested, &loaded);
    if (verdict.decision == CAdblockVerdict::None)
        return true;
    if (verdict.decision == CAdblockVerdict::Allow) {
        if (deciding)
            deciding->push_back(lists->DescribeFilter(*loaded, verdict));
        return true;
    }
    // A user's exception allows what the lists block.
    if (!deciding) {
        JudgeByUserList(filterList, request.url, nullptr, lockedMeansNothing, &exception);
        if (exception)
            return true;
    }
    if (deciding)
        deciding->push_back(lists->DescribeFilter(*loaded, verdict));
    return false;
}

}  // namespace

bool IsRequestAllowed(const RequestContext& request)
{
    return Judge(GetFilterListStore(), TryGetAdblockListStore(), request, nullptr, true);
}

bool IsRequestAllowed(CSharedStore& filterList, const RequestContext& request, std::vector<std::wstring>* deciding)
{
    return Judge(filterList, TryGetAdblockListStore(), request, deciding, false);
}

bool IsRequestAllowed(CSharedStore& filterList, CAdblockListStore* lists, const RequestContext& request,
                      std::vector<std::wstring>* deciding)
{
    return Judge(filterList, lists, request, deciding, false);
}

bool IsPopupAllowed(CAdblockListStore* lists, const wchar_t* url, const wchar_t* openerUrl)
{
    if (!url)
        ThrowHResult(E_POINTER);
    if (!lists || !*url)
        return true;
    std::wstring storage;
    RequestContext window;
    window.url = AsRequested(url, storage);
    window.pageUrl = openerUrl;
    // "$popup" first: its exceptions ("@@...$popup") speak for the window
    // even where a "$document" filter would block the page it shows.
    window.type = kRequestPopup;
    CAdblockVerdict verdict = lists->Judge(window);
    if (verdict.decision == CAdblockVerdict::None) {
        window.type = kRequestDocument;
        verdict = lists->Judge(window);
    }
    return verdict.decision != CAdblockVerdict::Block;
}

bool IsPopupAllowed(const wchar_t* url, const wchar_t* openerUrl) noexcept
{
    try {
        return IsPopupAllowed(TryGetAdblockListStore(), url, openerUrl);
    } catch (...) {
        TraceCurrentException("new window not judged");
        return true;
    }
}

bool IsPageOfAllowedSite(const wchar_t* pageUrl) noexcept
{
    CAdblockListStore* lists = TryGetAdblockListStore();
    if (!lists || !pageUrl || !*pageUrl)
        return false;
    try {
        return lists->JudgePage(pageUrl).decision == CAdblockVerdict::Allow;
    } catch (...) {
        TraceCurrentException("allowed sites not read");
        return false;
    }
}
