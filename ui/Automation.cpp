#include "ui/Automation.h"

#include "com/Dialog.h"
#include "com/Error.h"
#include "com/Module.h"
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

STDMETHODIMP CAutomation::ShowBlockableItemsDialog(IDispatch*)
{
    return E_NOTIMPL;
}
