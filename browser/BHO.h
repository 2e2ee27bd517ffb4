#pragma once
// CBHO: the browser helper object ("Quellan.BHO"), one per browser window
// or tab. Apartment-threaded, not aggregatable. Its IDispatch has no
// members of its own.

#include <ocidl.h>

#include "com/ComPtr.h"
#include "com/Dispatch.h"
#include "com/Object.h"

class CBHO final : public CComObjectBase<CBHO, IObjectWithSite, CDispatchImpl<IDispatch>>
{
public:
    // IObjectWithSite
    STDMETHODIMP SetSite(IUnknown* site) override;
    STDMETHODIMP GetSite(REFIID riid, void** site) override;

private:
    CComPtr<IUnknown> m_site;
};
