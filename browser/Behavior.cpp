#include "browser/Behavior.h"

#include <cwchar>
#include <optional>

#include "browser/AllowedFrames.h"
#include "browser/BlockableItem.h"
#include "com/Bstr.h"
#include "com/ComPtr.h"
#include "com/Error.h"
#include "storage/SettingsStore.h"
#include "verdict/RequestVerdict.h"
#include "verdict/UrlVerdict.h"

namespace {

constexpr wchar_t kBehaviorName[] = L"quellan";

void BlockIfRefused(const CBlockableItemPtr& item,
                    const std::function<bool(const wchar_t*, const wchar_t*)>& isItemAllowed)
{
    if (item && !isItemAllowed(item->GetUrl(), item->GetType()))
        item->Block();
}

// The URL of the element's document, empty when it cannot be told.
std::wstring PageUrlOf(IElementBehaviorSite* site)
{
    CComPtr<IHTMLElement> element;
    CComPtr<IDispatch> document;
    CComPtr<IHTMLDocument2> document2;
    CComBSTR url;
    if (!site || FAILED(site->GetElement(element.Put())) || !element || FAILED(element->get_document(document.Put())) ||
        !document || FAILED(document->QueryInterface(IidOf<IHTMLDocument2>(), document2.PutVoid())) || !document2 ||
        FAILED(document2->get_URL(url.Put())))
        return std::wstring();
    return BstrText(url);
}

}  // namespace

RequestType RequestTypeOfItemKind(const wchar_t* kind) noexcept
{
    static const struct
    {
        const wchar_t* kind;
        RequestType type;
    } kinds[] = {{L"image", kRequestImage},
                 {L"background", kRequestImage},
                 {L"flash", kRequestObject},
                 {L"frame", kRequestSubdocument},
                 {L"script", kRequestScript}};
    for (const auto& known : kinds) {
        if (kind && std::wcscmp(kind, known.kind) == 0)
            return known.type;
    }
    return kRequestUnknown;
}

void ExamineBehaviorElement(IElementBehaviorSite* site, CSharedStore& settings,
                            const std::function<bool(const wchar_t*)>& isUrlAllowed)
{
    ExamineBehaviorElement(site, settings, [&](const wchar_t* url, const wchar_t*) { return isUrlAllowed(url); });
}

void ExamineBehaviorElement(IElementBehaviorSite* site, CSharedStore& settings,
                            const std::function<bool(const wchar_t*, const wchar_t*)>& isItemAllowed)
{
    std::optional<CStoreReader> reader;
    try {
        reader.emplace(settings);
    } catch (const CHResultException& e) {
        // Settings locked longer than a browser thread may wait: the element
        // stays as it is.
        if (e.GetHResult() != kLockTimedOut)
            throw;
        return;
    }
    if (IsSessionDisabled(*reader) || !GetRemoveBlockedItems(*reader))
        return;
    if (!site)
        ThrowHResult(E_POINTER);
    CComPtr<IHTMLElement> element;
    ThrowIfFailed(site->GetElement(element.Put()));
    if (!element)
        return;
    BlockIfRefused(MakeElementItem(element), isItemAllowed);
    BlockIfRefused(MakeBackgroundItem(element), isItemAllowed);
}

STDMETHODIMP CBehavior::Init(IElementBehaviorSite* pBehaviorSite)
{
    return CallAtBoundary([&] {
        // The page of a site the user allowed, and every frame shown in
        // one, keeps every element.
        const std::wstring page = PageUrlOf(pBehaviorSite);
        if (IsPageShownOnAllowedSite(page.c_str()))
            return E_FAIL;
        // Judged as the request was, with its page and its kind: the
        // Adblock lists' filters need both.
        ExamineBehaviorElement(pBehaviorSite, GetSettingsStore(), [&](const wchar_t* url, const wchar_t* kind) {
            RequestContext request;
            request.url = url;
            request.pageUrl = page.empty() ? nullptr : page.c_str();
            request.type = RequestTypeOfItemKind(kind);
            return IsRequestAllowed(request);
        });
        // Failing makes the browser drop this behavior: the element was
        // examined once, and nothing needs to stay attached to it.
        return E_FAIL;
    });
}

STDMETHODIMP CBehavior::Notify(LONG, VARIANT*)
{
    return S_OK;
}

STDMETHODIMP CBehavior::Detach()
{
    return S_OK;
}

STDMETHODIMP CBehavior::FindBehavior(BSTR bstrBehavior, BSTR, IElementBehaviorSite*, IElementBehavior** ppBehavior)
{
    if (!ppBehavior)
        return E_POINTER;
    *ppBehavior = nullptr;
    if (!bstrBehavior || _wcsicmp(bstrBehavior, kBehaviorName) != 0)
        return E_FAIL;
    return CallAtBoundary([&] {
        return CBehavior::Create()->QueryInterface(IidOf<IElementBehavior>(), reinterpret_cast<void**>(ppBehavior));
    });
}
