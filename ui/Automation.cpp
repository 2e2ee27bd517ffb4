#include "ui/Automation.h"

#include <mshtml.h>

#include <optional>
#include <string>

#include "browser/PageHiding.h"
#include "com/Bstr.h"
#include "com/ComPtr.h"
#include "com/Dialog.h"
#include "com/Error.h"
#include "com/Module.h"
#include "engine/AllowedSites.h"
#include "storage/AdblockListStore.h"
#include "ui/BlockableItemsDialog.h"
#include "ui/CommonControls.h"
#include "ui/SettingsDialog.h"

STDMETHODIMP CAutomation::ShowSettingsDialog()
{
    return CallAtBoundary([] {
        CActivationContextScope activation(GetModuleActivationContext());
        LoadCommonControls();
        CSettingsDialog dialog;
        dialog.DoModal(GetActiveWindow());
    });
}

STDMETHODIMP CAutomation::ShowBlockableItemsDialog(IDispatch* pDocDisp)
{
    // The menu page always passes the page's document; without one there is
    // nothing to list, and the script hears so.
    if (!pDocDisp)
        return E_INVALIDARG;
    return CallAtBoundary([pDocDisp] {
        CActivationContextScope activation(GetModuleActivationContext());
        LoadCommonControls();
        CBlockableItemsDialog dialog(pDocDisp);
        dialog.DoModal(GetActiveWindow());
    });
}

STDMETHODIMP CAutomation::AllowSite(IDispatch* pDocDisp, VARIANT_BOOL* pfAllowed)
{
    if (!pfAllowed)
        return E_POINTER;
    *pfAllowed = VARIANT_FALSE;
    if (!pDocDisp)
        return E_INVALIDARG;
    return CallAtBoundary([&]() -> HRESULT {
        CComPtr<IHTMLDocument2> document;
        if (FAILED(pDocDisp->QueryInterface(IidOf<IHTMLDocument2>(), document.PutVoid())) || !document)
            return E_INVALIDARG;
        CComBSTR url;
        ThrowIfFailed(document->get_URL(url.Put()));
        const std::string pageHost = HostOfPageUrl(BstrText(url));
        const std::optional<std::string> host =
            NormalizeAllowedSite(std::wstring(pageHost.begin(), pageHost.end()));
        if (pageHost.empty() || !host)
            return S_OK;
        // A list whose text another program damaged is left out of the
        // lists; the site is allowed all the same.
        EditAllowedSite(GetAdblockListStore(), *host, false);
        *pfAllowed = VARIANT_TRUE;
        return S_OK;
    });
}
