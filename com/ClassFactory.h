#pragma once
// The class object that creates one COM class. It is an object of the
// module like any other (it holds a module lock while alive), so the module
// stays loaded while a client holds it, and LockServer adds a lock of its
// own. Whether an outer object is accepted is the class's own rule (see
// CComObjectBase::CreateObject).

#include <windows.h>
#include <unknwn.h>

#include "com/Object.h"

using CCreateInstanceFunction = HRESULT (*)(IUnknown* outer, REFIID riid, void** ppv);

class CComClassFactory final : public CComObjectBase<CComClassFactory, IClassFactory>
{
public:
    explicit CComClassFactory(CCreateInstanceFunction createInstance) noexcept;

    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override;
    STDMETHODIMP LockServer(BOOL lock) override;

private:
    CCreateInstanceFunction m_createInstance;
};
