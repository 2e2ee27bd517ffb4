#pragma once
// CComPtr<T>: owns one counted reference to a COM interface.
//
// Copying adds a reference, moving transfers it, destruction releases it.
// Put() releases the current pointer and hands out the address for an out
// parameter; Attach/Detach move a reference in or out without counting.

#include <unknwn.h>

#include <cstddef>
#include <utility>

#include "com/InterfaceId.h"

template <class T>
class CComPtr
{
public:
    CComPtr() noexcept = default;
    CComPtr(std::nullptr_t) noexcept {}
    CComPtr(T* p) noexcept : m_p(p)
    {
        if (m_p)
            m_p->AddRef();
    }
    CComPtr(const CComPtr& other) noexcept : CComPtr(other.m_p) {}
    CComPtr(CComPtr&& other) noexcept : m_p(std::exchange(other.m_p, nullptr)) {}
    ~CComPtr() { Reset(); }

    CComPtr& operator=(const CComPtr& other) noexcept
    {
        CComPtr(other).Swap(*this);
        return *this;
    }
    CComPtr& operator=(CComPtr&& other) noexcept
    {
        CComPtr(std::move(other)).Swap(*this);
        return *this;
    }
    CComPtr& operator=(T* p) noexcept
    {
        CComPtr(p).Swap(*this);
        return *this;
    }

    T* Get() const noexcept { return m_p; }
    operator T*() const noexcept { return m_p; }
    T* operator->() const noexcept { return m_p; }

    void Reset() noexcept
    {
        if (T* p = std::exchange(m_p, nullptr))
            p->Release();
    }
    T** Put() noexcept
    {
        Reset();
        return &m_p;
    }
    void** PutVoid() noexcept { return reinterpret_cast<void**>(Put()); }
    // Takes over a reference the caller owns.
    void Attach(T* p) noexcept
    {
        Reset();
        m_p = p;
    }
    // Gives the reference to the caller.
    T* Detach() noexcept { return std::exchange(m_p, nullptr); }
    void Swap(CComPtr& other) noexcept { std::swap(m_p, other.m_p); }

    // Writes a new reference to *out (null stays null).
    template <class Q>
    void CopyTo(Q** out) const noexcept
    {
        *out = m_p;
        if (m_p)
            m_p->AddRef();
    }

    template <class Q>
    HRESULT QueryInterface(Q** out) const noexcept
    {
        return m_p->QueryInterface(IidOf<Q>(), reinterpret_cast<void**>(out));
    }

private:
    T* m_p = nullptr;
};
