#include "browser/Behavior.h"

#include <cwchar>
#include <optional>

#include "browser/BlockableItem.h"
#include "com/ComPtr.h"
#include "com/Error.h"
#include "storage/SettingsStore.h"
#include "verdict/UrlVerdict.h"

namespace {

constexpr wchar_t kBehaviorName[] = L"quellan";

void BlockIfRefused(const CBlockableItemPtr& item, const std::function<bool(const wchar_t*)>& isUrlAllowed)
{
    if (item && !isUrlAllowed(item->GetUrl()))
        item->Block();
}

}  // namespace

void ExamineBehaviorElement(IElementBehaviorSite* site, CSharedStore& settings,
                            const std::function<bool(const wchar_t*)>& isUrlAllowed)
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
    BlockIfRefused(MakeElementItem(element), isUrlAllowed);
    BlockIfRefused(MakeBackgroundItem(element), isUrlAllowed);
}

STDMETHODIMP CBehavior::Init(IElementBehaviorSite* pBehaviorSite)
{
    return CallAtBoundary([&] {
        ExamineBehaviorElement(pBehaviorSite, GetSettingsStore(), [](const wchar_t* url) { return IsUrlAllowed(url); });
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
