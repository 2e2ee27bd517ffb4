#pragma once
// CAutomation: the scriptable object ("Quellan.Automation") that the
// browser's menu pages create to open the settings and Blockable Items
// dialogs. Apartment-threaded, not aggregatable, no state. Its IDispatch
// takes the type information of IAutomation from the registered type
// library, so scripts reach it by name once the library is registered.
//
// Each method shows its dialog modally on the calling thread, owned by the
// thread's active window, with the library's activation context (common
// controls version 6) active, and returns S_OK when the dialog has closed,
// whatever the user did. A failure to activate the context or to create the
// dialog is returned as its HRESULT; a null document as E_INVALIDARG.
//
// AllowSite ("Don't block on this site") allows the site of the document's
// page in the user's list of allowed sites, as "QuellanCtl allow-site"
// does, on the calling thread and without a broker: the storage folder and
// the lists' write lock are open to Protected Mode (low integrity).
// *pfAllowed is VARIANT_TRUE once the site is allowed (already or now),
// VARIANT_FALSE for a page that has no site to allow (not http or https).
// The store's failures are returned as their HRESULT (kLockTimedOut while
// another writer holds the lists); a null document as E_INVALIDARG.
//
// DisallowSite ("Block on this site again") takes back what AllowSite
// wrote for the document's site, as "QuellanCtl allow-site --remove" does:
// only that site's own line leaves the list; exceptions for other sites,
// and any a user wrote in other lists, stay. *pfRemoved is VARIANT_TRUE when
// the line was there and is gone, VARIANT_FALSE when the site was not one
// the user allowed (nothing changes). Failures as for AllowSite.
//
// After either has written the list (or found nothing to change), the
// helper objects of the calling thread's windows judge their shown pages
// again (CBHO::OnAllowedSitesChanged), so frames already open in a page of
// a site now allowed load unblocked at once, and stop doing so once it is
// no longer allowed.

#include "com/Dispatch.h"
#include "com/Object.h"
#include "resources/QuellanLib.h"

class CAutomation final
    : public CComObjectBase<CAutomation, CDispatchImpl<IAutomation, CRegisteredTypeInfo<&LIBID_QuellanLib, 1, 0>>,
                            IDispatch>
{
public:
    // IAutomation
    STDMETHODIMP ShowSettingsDialog() override;
    STDMETHODIMP ShowBlockableItemsDialog(IDispatch* pDocDisp) override;
    STDMETHODIMP AllowSite(IDispatch* pDocDisp, VARIANT_BOOL* pfAllowed) override;
    STDMETHODIMP DisallowSite(IDispatch* pDocDisp, VARIANT_BOOL* pfRemoved) override;
};
