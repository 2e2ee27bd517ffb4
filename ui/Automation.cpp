#include "ui/Automation.h"

#include <mshtml.h>

#include <optional>
#include <string>

#include "browser/BHO.h"
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

namespace {

// The host the menu entries act on for the document's page; none for a page
// without one (not http or https). Throws E_INVALIDARG for an object that
// is not a document.
std::optional<std::string> SiteOfDocument(IDispatch* pDocDisp)
{
    CComPtr<IHTMLDocument2> document;
    if (FAILED(pDocDisp->QueryInterface(IidOf<IHTMLDocument2>(), document.PutVoid())) || !document)
        ThrowHResult(E_INVALIDARG);
    CComBSTR url;
    ThrowIfFailed(document->get_URL(url.Put()));
    const std::string pageHost = HostOfPageUrl(BstrText(url));
    if (pageHost.empty())
        return std::nullopt;
    return NormalizeAllowedSite(std::wstring(pageHost.begin(), pageHost.end()));
}

// Adds or removes the site's line; true when the list changed. The shown
// pages are judged again even when it did not: a site allowed by
// "QuellanCtl allow-site" while its page was open gets its open frames now.
bool EditSiteOfDocument(const std::string& host, bool remove)
{
    // A list whose text another program damaged is left out of the lists;
    // the site's line is written or taken out all the same.
    const bool changed = EditAllowedSite(GetAdblockListStore(), host, remove);
    CBHO::OnAllowedSitesChanged();
    return changed;
}

}  // namespace

STDMETHODIMP CAutomation::AllowSite(IDispatch* pDocDisp, VARIANT_BOOL* pfAllowed)
{
    if (!pfAllowed)
        return E_POINTER;
    *pfAllowed = VARIANT_FALSE;
    if (!pDocDisp)
        return E_INVALIDARG;
    return CallAtBoundary([&] {
        const std::optional<std::string> host = SiteOfDocument(pDocDisp);
        if (!host)
            return;
        EditSiteOfDocument(*host, false);
        *pfAllowed = VARIANT_TRUE;
    });
}

STDMETHODIMP CAutomation::DisallowSite(IDispatch* pDocDisp, VARIANT_BOOL* pfRemoved)
{
    if (!pfRemoved)
        return E_POINTER;
    *pfRemoved = VARIANT_FALSE;
    if (!pDocDisp)
        return E_INVALIDARG;
    return CallAtBoundary([&] {
        const std::optional<std::string> host = SiteOfDocument(pDocDisp);
        if (host && EditSiteOfDocument(*host, true))
            *pfRemoved = VARIANT_TRUE;
    });
}
