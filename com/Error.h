#pragma once
// The library's one exception type and the helpers that throw and catch it.
//
// Inside the library every system failure is thrown as CHResultException
// through the plain functions below. Every entry point that Windows calls
// (COM methods, Dll* exports, window/dialog/thread procedures, wWinMain)
// converts whatever escapes with HResultFromCurrentException(), so that no
// exception ever unwinds through a system DLL frame.

#include <windows.h>

#include <type_traits>

class CHResultException
{
public:
    explicit CHResultException(HRESULT hr) noexcept : m_hr(hr) {}
    HRESULT GetHResult() const noexcept { return m_hr; }

private:
    HRESULT m_hr;
};

// HRESULT_FROM_WIN32 rule: 0 or less passes unchanged, a positive code
// becomes 0x8007xxxx with its low 16 bits.
constexpr HRESULT HResultFromWin32(LONG error) noexcept
{
    return error <= 0 ? static_cast<HRESULT>(error)
                      : static_cast<HRESULT>((static_cast<ULONG>(error) & 0xFFFF) | 0x80070000u);
}

// An NTSTATUS becomes an HRESULT by setting the facility-NT bit (bit 28).
constexpr HRESULT HResultFromNt(LONG status) noexcept
{
    return static_cast<HRESULT>(static_cast<ULONG>(status) | 0x10000000u);
}

[[noreturn]] void ThrowHResult(HRESULT hr);
void ThrowIfFailed(HRESULT hr);
// Throws HResultFromWin32(GetLastError()). A last error of 0 (a call that
// failed without saying why) becomes E_FAIL, so a failure is never reported
// as success.
[[noreturn]] void ThrowLastError();
inline void ThrowLastErrorIf(bool failed)
{
    if (failed)
        ThrowLastError();
}
// HRESULT of the last Win32 error, never a success code.
HRESULT HResultFromLastError() noexcept;

// The one boundary helper: call it inside catch (...). Our exception gives
// its HRESULT, std::bad_alloc gives E_OUTOFMEMORY, anything else E_FAIL.
// Every conversion leaves one trace line (com/Trace.h) naming the caller's
// place, which the compiler fills in, and `what` when given.
HRESULT HResultFromCurrentException(const char* what = nullptr, const char* function = __builtin_FUNCTION(),
                                    const char* file = __builtin_FILE(), int line = __builtin_LINE()) noexcept;

// Inside a catch block that swallows a failure on purpose: the same
// conversion and trace line, under a name that says why it is called.
HRESULT TraceCurrentException(const char* what = nullptr, const char* function = __builtin_FUNCTION(),
                              const char* file = __builtin_FILE(), int line = __builtin_LINE()) noexcept;

// Runs f and converts what it throws; f returns void or an HRESULT. The
// trace of a conversion names the caller of CallAtBoundary. A failure that f
// returns is the caller's to trace: some are answers, not faults.
template <class F>
HRESULT CallAtBoundary(F&& f, const char* function = __builtin_FUNCTION(), const char* file = __builtin_FILE(),
                       int line = __builtin_LINE()) noexcept
{
    try {
        if constexpr (std::is_void_v<decltype(f())>) {
            f();
            return S_OK;
        } else {
            return f();
        }
    } catch (...) {
        return HResultFromCurrentException(nullptr, function, file, line);
    }
}
