#include "host/HostBroker.h"

#include "com/Error.h"

CHostBroker::CHostBroker(IClassFactory* library, CServerLock& module) noexcept
    : m_library(library), m_module(module)
{
    m_module.Lock();
}

CHostBroker::~CHostBroker()
{
    m_inner.Reset();
    m_module.Unlock();
}

HRESULT CHostBroker::FinalConstruct()
{
    return m_library->CreateInstance(GetControllingUnknown(), IID_IUnknown, m_inner.PutVoid());
}

HRESULT CHostBroker::QueryOtherInterface(REFIID riid, void** ppv)
{
    return m_inner->QueryInterface(riid, ppv);
}

CHostBrokerFactory::CHostBrokerFactory(IClassFactory* library, CServerLock& module) noexcept
    : m_library(library), m_module(module)
{
}

STDMETHODIMP CHostBrokerFactory::CreateInstance(IUnknown* outer, REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (outer)
        return CLASS_E_NOAGGREGATION;
    return CallAtBoundary([&] { return CHostBroker::Create(m_library.Get(), m_module)->QueryInterface(riid, ppv); });
}

STDMETHODIMP CHostBrokerFactory::LockServer(BOOL lock)
{
    if (lock)
        m_module.Lock();
    else
        m_module.Unlock();
    return S_OK;
}
