#include "browser/Behavior.h"

// The page work of the behavior is not part of the library yet: the
// browser gets no behavior and leaves the elements alone.

STDMETHODIMP CBehavior::Init(IElementBehaviorSite*)
{
    return E_NOTIMPL;
}

STDMETHODIMP CBehavior::Notify(LONG, VARIANT*)
{
    return S_OK;
}

STDMETHODIMP CBehavior::Detach()
{
    return S_OK;
}

STDMETHODIMP CBehavior::FindBehavior(BSTR, BSTR, IElementBehaviorSite*, IElementBehavior** ppBehavior)
{
    if (!ppBehavior)
        return E_POINTER;
    *ppBehavior = nullptr;
    return E_NOTIMPL;
}
