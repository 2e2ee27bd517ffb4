#pragma once
// One owner shape for kernel and system resources: a move-only holder whose
// traits name the handle type, its invalid value and its close call.
// Closing preserves GetLastError, so an owner destroyed while an error is
// being reported does not overwrite it.

#include <windows.h>

#include <utility>

template <class Traits>
class CUniqueResource
{
public:
    using Type = typename Traits::Type;

    CUniqueResource() noexcept : m_value(Traits::Invalid()) {}
    explicit CUniqueResource(Type value) noexcept : m_value(value) {}
    CUniqueResource(CUniqueResource&& other) noexcept : m_value(other.Detach()) {}
    CUniqueResource& operator=(CUniqueResource&& other) noexcept
    {
        if (this != &other)
            Reset(other.Detach());
        return *this;
    }
    CUniqueResource(const CUniqueResource&) = delete;
    CUniqueResource& operator=(const CUniqueResource&) = delete;
    ~CUniqueResource() { Reset(); }

    Type Get() const noexcept { return m_value; }
    bool IsValid() const noexcept { return m_value != Traits::Invalid(); }
    explicit operator bool() const noexcept { return IsValid(); }

    void Reset(Type value = Traits::Invalid()) noexcept
    {
        if (m_value != Traits::Invalid()) {
            DWORD error = GetLastError();
            Traits::Close(m_value);
            SetLastError(error);
        }
        m_value = value;
    }
    Type Detach() noexcept { return std::exchange(m_value, Traits::Invalid()); }
    // Resets first, then hands out the address for an out parameter.
    Type* Put() noexcept
    {
        Reset();
        return &m_value;
    }

private:
    Type m_value;
};

struct CHandleTraits
{
    using Type = HANDLE;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type h) noexcept { CloseHandle(h); }
};
struct CFileHandleTraits
{
    using Type = HANDLE;
    static Type Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(Type h) noexcept { CloseHandle(h); }
};
struct CMappedViewTraits
{
    using Type = void*;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type p) noexcept { UnmapViewOfFile(p); }
};
struct CRegKeyTraits
{
    using Type = HKEY;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type k) noexcept { RegCloseKey(k); }
};
struct CModuleTraits
{
    using Type = HMODULE;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type m) noexcept { FreeLibrary(m); }
};
struct CLocalMemoryTraits
{
    using Type = HLOCAL;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type p) noexcept { LocalFree(p); }
};
struct CActivationContextTraits
{
    using Type = HANDLE;
    static Type Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(Type h) noexcept { ReleaseActCtx(h); }
};

using CHandle = CUniqueResource<CHandleTraits>;          // null-invalid kernel handle
using CFileHandle = CUniqueResource<CFileHandleTraits>;  // INVALID_HANDLE_VALUE-invalid
using CMappedView = CUniqueResource<CMappedViewTraits>;  // MapViewOfFile result
using CRegKey = CUniqueResource<CRegKeyTraits>;
using CLibrary = CUniqueResource<CModuleTraits>;         // LoadLibrary result
using CLocalMemory = CUniqueResource<CLocalMemoryTraits>;
using CActivationContext = CUniqueResource<CActivationContextTraits>;  // CreateActCtxW result
