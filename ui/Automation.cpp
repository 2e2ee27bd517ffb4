#include "ui/Automation.h"

#include "com/Dialog.h"
#include "com/Error.h"
#include "com/Module.h"
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
