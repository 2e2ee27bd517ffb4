#pragma once
// CAutomation: the scriptable object ("Quellan.Automation") that the
// browser's menu pages create to open the settings and Blockable Items
// dialogs. Apartment-threaded, not aggregatable; IDispatch comes from the
// library's type library.

#include "com/Dispatch.h"
#include "com/Object.h"
#include "resources/QuellanLib.h"

class CAutomation final : public CComObjectBase<CAutomation, CDispatchImpl<IAutomation>, IDispatch>
{
public:
    // IAutomation
    STDMETHODIMP ShowSettingsDialog() override;
    STDMETHODIMP ShowBlockableItemsDialog(IDispatch* pDocDisp) override;
};
