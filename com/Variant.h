#pragma once
// CComVariant: owns one VARIANT and clears it on destruction. Copies are
// deep (VariantCopy); failures throw the HRESULT exception.

#include <windows.h>
#include <oleauto.h>

#include <string_view>

#include "com/Bstr.h"
#include "com/Error.h"

class CComVariant
{
public:
    CComVariant() noexcept { VariantInit(&m_value); }
    explicit CComVariant(std::wstring_view text) : CComVariant()
    {
        V_BSTR(&m_value) = CComBSTR(text).Detach();
        V_VT(&m_value) = VT_BSTR;
    }
    explicit CComVariant(LONG value) noexcept : CComVariant()
    {
        V_VT(&m_value) = VT_I4;
        V_I4(&m_value) = value;
    }
    explicit CComVariant(bool value) noexcept : CComVariant()
    {
        V_VT(&m_value) = VT_BOOL;
        V_BOOL(&m_value) = value ? VARIANT_TRUE : VARIANT_FALSE;
    }
    // Holds its own reference to the object (null is allowed).
    explicit CComVariant(IDispatch* object) noexcept : CComVariant()
    {
        V_VT(&m_value) = VT_DISPATCH;
        V_DISPATCH(&m_value) = object;
        if (object)
            object->AddRef();
    }
    CComVariant(const CComVariant& other) : CComVariant() { ThrowIfFailed(VariantCopy(&m_value, const_cast<VARIANT*>(&other.m_value))); }
    CComVariant(CComVariant&& other) noexcept : m_value(other.m_value) { VariantInit(&other.m_value); }
    ~CComVariant() { VariantClear(&m_value); }

    CComVariant& operator=(CComVariant other) noexcept
    {
        VARIANT old = m_value;
        m_value = other.m_value;
        other.m_value = old;
        return *this;
    }

    VARTYPE Type() const noexcept { return V_VT(&m_value); }
    const VARIANT& Get() const noexcept { return m_value; }
    // Clears the current value and hands out the VARIANT for an out parameter.
    VARIANT* Put() noexcept
    {
        VariantClear(&m_value);
        return &m_value;
    }
    // Moves the value into *out, which must not hold anything that needs clearing.
    void Detach(VARIANT* out) noexcept
    {
        *out = m_value;
        VariantInit(&m_value);
    }

private:
    VARIANT m_value;
};
