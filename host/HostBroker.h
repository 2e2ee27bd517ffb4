#pragma once
// The host's Broker class: a thin outer object around the library's own
// CBroker, which it aggregates. The host has no broker logic of its own.
//
// IUnknown is the host object itself; every other interface (IBroker
// included) is asked of the inner object, whose answers count on this one.
// Not aggregatable. Each object holds a lock on the host module for its
// life.

#include <windows.h>
#include <unknwn.h>

#include "com/ComPtr.h"
#include "com/Object.h"
#include "host/ServerLock.h"

class CHostBroker final : public CComObjectBase<CHostBroker, IUnknown>
{
public:
    // `library` is quellan.dll's Broker class factory.
    CHostBroker(IClassFactory* library, CServerLock& module) noexcept;
    ~CHostBroker() override;

    // Creates the inner object, with this object as its outer one.
    HRESULT FinalConstruct();
    HRESULT QueryOtherInterface(REFIID riid, void** ppv);

private:
    CComPtr<IClassFactory> m_library;
    CServerLock& m_module;
    CComPtr<IUnknown> m_inner;  // the inner object's own (non-delegating) IUnknown
};

// The class object that the host registers for the Broker CLSID.
// LockServer locks the host module; the factory itself does not, so that
// its registration does not keep the host alive.
class CHostBrokerFactory final : public CComObjectBase<CHostBrokerFactory, IClassFactory>
{
public:
    CHostBrokerFactory(IClassFactory* library, CServerLock& module) noexcept;

    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override;
    STDMETHODIMP LockServer(BOOL lock) override;

private:
    CComPtr<IClassFactory> m_library;
    CServerLock& m_module;
};
