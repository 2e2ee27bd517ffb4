#include "com/ClassFactory.h"

CComClassFactory::CComClassFactory(CCreateInstanceFunction createInstance) noexcept
    : m_createInstance(createInstance)
{
}

STDMETHODIMP CComClassFactory::CreateInstance(IUnknown* outer, REFIID riid, void** ppv)
{
    return m_createInstance(outer, riid, ppv);
}

STDMETHODIMP CComClassFactory::LockServer(BOOL lock)
{
    if (lock)
        LockModule();
    else
        UnlockModule();
    return S_OK;
}
