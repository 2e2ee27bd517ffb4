#pragma once
// IDispatch from the module's own type library.
//
// CDispatchImpl<I> implements the four IDispatch methods of I (IDispatch
// itself, or a dual interface) with the type information of I: names and
// calls go through ITypeInfo::GetIDsOfNames and ITypeInfo::Invoke, which
// calls the object's own vtable. Use it as an entry of CComObjectBase:
//
//   CComObjectBase<CAutomation, CDispatchImpl<IAutomation>, IDispatch>
//   CComObjectBase<CBHO, IObjectWithSite, CDispatchImpl<IDispatch>>
//
// CDispatchImpl<IDispatch> is a dispatch interface without members of its
// own: every name is unknown.
//
// The type information comes from the module's own type library resource
// by default; CRegisteredTypeInfo takes it from the registered library
// instead, as scripting clients expect of a programmable class:
//
//   CDispatchImpl<IAutomation, CRegisteredTypeInfo<&LIBID_QuellanLib, 1, 0>>

#include <windows.h>
#include <oaidl.h>

#include "com/ComPtr.h"
#include "com/Error.h"
#include "com/InterfaceId.h"

// Type information of an interface, from the type library that is resource
// TYPELIB 1 of the module this code is linked into (so it works whether or
// not the library is registered). An interface that the library only refers
// to (IDispatch, from stdole2) is found through the types that derive from
// it. The library and every type information handed out stay loaded until
// the module unloads. Thread-safe; throws the HRESULT exception.
CComPtr<ITypeInfo> GetModuleTypeInfo(REFIID iid);

// Type information of an interface from the type library registered under
// libid and version (LoadRegTypeLib with the locale of the first caller),
// loaded on first use and kept until the module unloads. A library that is
// not registered throws (TYPE_E_LIBNOTREGISTERED) and is looked for again
// at the next call. Thread-safe.
CComPtr<ITypeInfo> GetRegisteredTypeInfo(REFGUID libid, WORD major, WORD minor, LCID locale, REFIID iid);

struct CModuleTypeInfo
{
    static CComPtr<ITypeInfo> Get(REFIID iid, LCID) { return GetModuleTypeInfo(iid); }
};

template <const GUID* Libid, WORD Major, WORD Minor>
struct CRegisteredTypeInfo
{
    static CComPtr<ITypeInfo> Get(REFIID iid, LCID locale)
    {
        return GetRegisteredTypeInfo(*Libid, Major, Minor, locale, iid);
    }
};

template <class I, class TypeInfoSource = CModuleTypeInfo>
class CDispatchImpl : public I
{
public:
    using Interface = I;

    STDMETHODIMP GetTypeInfoCount(UINT* count) override
    {
        if (!count)
            return E_POINTER;
        *count = 1;
        return S_OK;
    }

    STDMETHODIMP GetTypeInfo(UINT index, LCID locale, ITypeInfo** info) override
    {
        if (!info)
            return E_POINTER;
        *info = nullptr;
        if (index != 0)
            return DISP_E_BADINDEX;
        return CallAtBoundary([&] { TypeInfoSource::Get(IidOf<I>(), locale).CopyTo(info); });
    }

    STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID locale, DISPID* ids) override
    {
        if (!InlineIsEqualGUID(riid, IID_NULL))
            return DISP_E_UNKNOWNINTERFACE;
        return CallAtBoundary(
            [&] { return TypeInfoSource::Get(IidOf<I>(), locale)->GetIDsOfNames(names, count, ids); });
    }

    STDMETHODIMP Invoke(DISPID member, REFIID riid, LCID locale, WORD flags, DISPPARAMS* params, VARIANT* result,
                        EXCEPINFO* exception, UINT* argumentError) override
    {
        if (!InlineIsEqualGUID(riid, IID_NULL))
            return DISP_E_UNKNOWNINTERFACE;
        return CallAtBoundary([&] {
            return TypeInfoSource::Get(IidOf<I>(), locale)
                ->Invoke(static_cast<I*>(this), member, flags, params, result, exception, argumentError);
        });
    }
};
