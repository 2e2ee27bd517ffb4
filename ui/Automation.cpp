#include "ui/Automation.h"

// The dialogs are not part of the library yet.

STDMETHODIMP CAutomation::ShowSettingsDialog()
{
    return E_NOTIMPL;
}

STDMETHODIMP CAutomation::ShowBlockableItemsDialog(IDispatch*)
{
    return E_NOTIMPL;
}
