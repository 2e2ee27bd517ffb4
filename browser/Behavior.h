#pragma once
// CBehavior: the element behavior ("Quellan.Behavior") that the browser
// attaches as "#default#quellan". The same class is the behavior factory
// and the per-element behavior. Apartment-threaded, not aggregatable. Its
// IDispatch has no members of its own.

#include <mshtml.h>

#include "com/Dispatch.h"
#include "com/Object.h"

class CBehavior final
    : public CComObjectBase<CBehavior, CDispatchImpl<IDispatch>, IElementBehavior, IElementBehaviorFactory>
{
public:
    // IElementBehavior
    STDMETHODIMP Init(IElementBehaviorSite* pBehaviorSite) override;
    STDMETHODIMP Notify(LONG lEvent, VARIANT* pVar) override;
    STDMETHODIMP Detach() override;

    // IElementBehaviorFactory
    STDMETHODIMP FindBehavior(BSTR bstrBehavior, BSTR bstrBehaviorUrl, IElementBehaviorSite* pSite,
                              IElementBehavior** ppBehavior) override;
};
