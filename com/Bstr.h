#pragma once
// CComBSTR: owns one BSTR (null is the empty string, as COM treats it).
// Allocation failures throw std::bad_alloc.

#include <windows.h>
#include <oleauto.h>

#include <new>
#include <string>
#include <string_view>
#include <utility>

class CComBSTR
{
public:
    CComBSTR() noexcept = default;
    explicit CComBSTR(std::wstring_view text) : m_str(Allocate(text)) {}
    CComBSTR(const CComBSTR& other) : m_str(other.m_str ? Allocate(other.View()) : nullptr) {}
    CComBSTR(CComBSTR&& other) noexcept : m_str(std::exchange(other.m_str, nullptr)) {}
    ~CComBSTR() { SysFreeString(m_str); }

    CComBSTR& operator=(CComBSTR other) noexcept
    {
        std::swap(m_str, other.m_str);
        return *this;
    }

    BSTR Get() const noexcept { return m_str; }
    operator BSTR() const noexcept { return m_str; }
    UINT Length() const noexcept { return SysStringLen(m_str); }
    std::wstring_view View() const noexcept { return std::wstring_view(m_str ? m_str : L"", Length()); }

    // Frees the current string and hands out the address for an out parameter.
    BSTR* Put() noexcept
    {
        Attach(nullptr);
        return &m_str;
    }
    void Attach(BSTR str) noexcept { SysFreeString(std::exchange(m_str, str)); }
    BSTR Detach() noexcept { return std::exchange(m_str, nullptr); }
    // A new copy that the caller owns (null stays null).
    BSTR Copy() const { return m_str ? Allocate(View()) : nullptr; }

private:
    static BSTR Allocate(std::wstring_view text)
    {
        BSTR str = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
        if (!str)
            throw std::bad_alloc();
        return str;
    }

    BSTR m_str = nullptr;
};

// A copy of the text of a BSTR that someone else owns (null is the empty
// text, as COM treats it).
inline std::wstring BstrText(BSTR str)
{
    return str ? std::wstring(str, SysStringLen(str)) : std::wstring();
}
